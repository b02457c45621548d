// The fake's side of the seam: the system calls the core makes, answered
// from the test's script and written to the call log.
#include "fake_platform.h"

#include "installer.h"

#include <cstring>

namespace {

FakePlatform g_fake;

FakeHandle *FindHandle(HANDLE value)
{
    for (FakeHandle &handle : g_fake.handles) {
        if (handle.value == value) {
            return &handle;
        }
    }
    return nullptr;
}

std::string HandleName(HANDLE value)
{
    const FakeHandle *handle = FindHandle(value);
    return handle != nullptr ? handle->name : "unknown handle";
}

HANDLE NewHandle(const std::string &name)
{
    // Distinct, never-null, never-dereferenced values.
    HANDLE value = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1000 + 4 * g_fake.handles.size()));
    g_fake.handles.push_back({value, name, 0});
    return value;
}

std::string Quoted(const char *text) { return text == nullptr ? "NULL" : std::string(text); }

// Answers a directory query as Windows does: the text and its length when
// it fits with its NUL, otherwise the size needed and nothing written.
DWORD DeliverDirectory(const std::string &directory, bool fails, DWORD capacity, char *buffer)
{
    if (fails) {
        return 0;
    }
    if (directory.size() + 1 > capacity) {
        return static_cast<DWORD>(directory.size() + 1);
    }
    std::memcpy(buffer, directory.c_str(), directory.size() + 1);
    return static_cast<DWORD>(directory.size());
}

}  // namespace

FakePlatform &Fake() { return g_fake; }

void ResetFake() { g_fake = FakePlatform(); }

std::vector<std::string> HandlesNotClosedOnce()
{
    std::vector<std::string> names;
    for (const FakeHandle &handle : g_fake.handles) {
        if (handle.closeCount != 1) {
            names.push_back(handle.name + " closed " + std::to_string(handle.closeCount) + " times");
        }
    }
    return names;
}

std::string PackagePath(const std::string &directory, const char *packageFolder)
{
    return directory + "\\" + packageFolder + "\\WudfBioUsb.inf";
}

extern "C" BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation)
{
    g_fake.calls.push_back("GetVersionExA(" + std::to_string(lpVersionInformation->dwOSVersionInfoSize) + ")");
    g_fake.versionRecordSizes.push_back(lpVersionInformation->dwOSVersionInfoSize);
    if (!g_fake.versionQuerySucceeds) {
        return FALSE;
    }
    lpVersionInformation->dwMajorVersion = g_fake.majorVersion;
    lpVersionInformation->dwMinorVersion = g_fake.minorVersion;
    lpVersionInformation->dwBuildNumber = 9200;
    lpVersionInformation->dwPlatformId = 2;
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    g_fake.calls.push_back("GetCurrentDirectoryA(" + std::to_string(nBufferLength) + ")");
    g_fake.directoryBuffer = lpBuffer;
    return DeliverDirectory(g_fake.currentDirectory, g_fake.currentDirectoryQueryFails, nBufferLength,
                            lpBuffer);
}

extern "C" UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
{
    g_fake.calls.push_back("GetSystemDirectoryA(" + std::to_string(uSize) + ")");
    return DeliverDirectory(g_fake.systemDirectory, g_fake.systemDirectoryQueryFails, uSize, lpBuffer);
}

extern "C" int _access(const char *path, int mode)
{
    g_fake.calls.push_back("_access(" + Quoted(path) + ", " + std::to_string(mode) + ")");
    if (!g_fake.slotsAtFirstProbe && g_fake.directoryBuffer != nullptr) {
        g_fake.slotsAtFirstProbe = std::string(g_fake.directoryBuffer, PACKAGE_COUNT * PATH_SLOT_SIZE);
    }
    return g_fake.existingPaths.count(path) != 0 ? 0 : -1;
}

extern "C" BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                      LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                      LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                      DWORD dwCreationFlags, LPVOID lpEnvironment,
                                      LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation)
{
    CreateProcessRecord record;
    if (lpApplicationName != nullptr) {
        record.applicationName = lpApplicationName;
    }
    record.commandLine = Quoted(lpCommandLine);
    record.processAttributesNull = lpProcessAttributes == nullptr;
    record.threadAttributesNull = lpThreadAttributes == nullptr;
    record.inheritHandles = bInheritHandles;
    record.creationFlags = dwCreationFlags;
    record.environmentNull = lpEnvironment == nullptr;
    record.currentDirectoryNull = lpCurrentDirectory == nullptr;
    record.startupInfo = *lpStartupInfo;
    record.processInfoOnEntry = *lpProcessInformation;

    size_t index = g_fake.launchesMade.size();
    g_fake.launchesMade.push_back(record);
    g_fake.calls.push_back("CreateProcessA(" + Quoted(lpApplicationName) + ", " + record.commandLine + ")");

    FakeLaunch launch = index < g_fake.launches.size() ? g_fake.launches[index] : FakeLaunch();
    if (!launch.starts) {
        return FALSE;
    }
    std::string number = std::to_string(index + 1);
    lpProcessInformation->hProcess = NewHandle("P" + number);
    lpProcessInformation->hThread = NewHandle("T" + number);
    lpProcessInformation->dwProcessId = static_cast<DWORD>(100 + index);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(200 + index);
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    g_fake.calls.push_back("WaitForSingleObject(" + HandleName(hHandle) + ", " + std::to_string(dwMilliseconds) +
                           ")");
    const FakeHandle *handle = FindHandle(hHandle);
    if (handle == nullptr || handle->closeCount != 0 || handle->name[0] != 'P') {
        g_fake.faults.push_back("wait on " + HandleName(hHandle));
        return WAIT_FAILED;
    }
    size_t index = std::stoul(handle->name.substr(1)) - 1;
    return index < g_fake.launches.size() ? g_fake.launches[index].waitResult : WAIT_OBJECT_0;
}

extern "C" BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    g_fake.calls.push_back("TerminateProcess(" + HandleName(hProcess) + ", " + std::to_string(uExitCode) + ")");
    const FakeHandle *handle = FindHandle(hProcess);
    if (handle == nullptr || handle->closeCount != 0 || handle->name[0] != 'P') {
        g_fake.faults.push_back("terminate through " + HandleName(hProcess));
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    g_fake.calls.push_back("CloseHandle(" + HandleName(hObject) + ")");
    FakeHandle *handle = FindHandle(hObject);
    if (handle == nullptr) {
        g_fake.faults.push_back("close of an unknown handle");
        return FALSE;
    }
    if (++handle->closeCount > 1) {
        g_fake.faults.push_back("second close of " + handle->name);
        return FALSE;
    }
    return TRUE;
}
