// The floor the tool is timed against: a launcher of the benchmark's own
// that starts the same five pnputil.exe children, with the same application
// name, command lines and creation arguments, and waits for each. It does
// nothing else: no version query, no existence probe, no per-package
// system-directory lookup. Whatever the tool costs beyond this is the
// tool's own doing.
//
// Start-up: the tool's own (the brelmot_runtime objects, no C runtime),
// with the tool's compile and link options, so both images go through the
// same loader work and the same few instructions before main. A C-runtime
// start-up would add its own initialisation and DLL imports and make the
// floor slower than the tool for reasons that have nothing to do with
// launching.
//
// Built twice from this file. REFERENCE_STARTS_CHILDREN=1 is the launcher;
// =0 returns from main at once, the bare start-up an image made this way
// cannot avoid, to hold the tool started with no package present against.
// Two images rather than an argument, because the tool takes none and
// reading one would be work the tool does not do.
#include <windows.h>

#include <string.h>

#ifndef REFERENCE_STARTS_CHILDREN
#error "REFERENCE_STARTS_CHILDREN must be 0 or 1"
#endif

#if REFERENCE_STARTS_CHILDREN

static const char PACKAGE_FOLDERS[5][8] = {"inf3b17", "inf3b18", "inf3b19", "inf3b1a", "inf3b20"};

static char *Append(char *cursor, const char *text)
{
    size_t length = strlen(text);
    memcpy(cursor, text, length);
    return cursor + length;
}

int main(void)
{
    char directory[MAX_PATH];
    DWORD directoryLength = GetCurrentDirectoryA(sizeof(directory), directory);
    if (directoryLength == 0 || directoryLength >= sizeof(directory)) {
        return 1;
    }

    // One lookup for all five: the tool repeats it per package, the floor
    // need not.
    char application[MAX_PATH + 16];
    UINT systemLength = GetSystemDirectoryA(application, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) {
        return 1;
    }
    memcpy(application + systemLength, "\\pnputil.exe", sizeof("\\pnputil.exe"));

    for (int package = 0; package < 5; ++package) {
        char commandLine[512];
        char *cursor = Append(commandLine, "pnputil.exe /add-driver \"");
        cursor = Append(cursor, directory);
        cursor = Append(cursor, "\\");
        cursor = Append(cursor, PACKAGE_FOLDERS[package]);
        cursor = Append(cursor, "\\WudfBioUsb.inf\" /install");
        *cursor = '\0';

        STARTUPINFOA startupInfo;
        memset(&startupInfo, 0, sizeof(startupInfo));
        startupInfo.cb = sizeof(startupInfo);
        PROCESS_INFORMATION processInfo;
        memset(&processInfo, 0, sizeof(processInfo));
        if (!CreateProcessA(application, commandLine, NULL, NULL, FALSE, NORMAL_PRIORITY_CLASS, NULL, NULL,
                            &startupInfo, &processInfo)) {
            continue;
        }
        // The same bound as the tool, only so that a hung stand-in cannot
        // hang the benchmark; with children that exit at once it never
        // fires.
        if (WaitForSingleObject(processInfo.hProcess, 5000) != WAIT_OBJECT_0) {
            TerminateProcess(processInfo.hProcess, 0);
        }
        CloseHandle(processInfo.hThread);
        CloseHandle(processInfo.hProcess);
    }
    return 0;
}

#else

int main(void)
{
    return 0;
}

#endif
