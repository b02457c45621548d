// A recording, scriptable stand-in for the system calls the installer core
// makes. Tests script what the system answers (version, working directory,
// which paths exist, how each launch and wait goes) and read back every call
// with its arguments, in order, and the state of every handle handed out.
#ifndef BRELMOTCP_TESTS_FAKE_PLATFORM_H
#define BRELMOTCP_TESTS_FAKE_PLATFORM_H

#include "platform.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

// How one launch goes: whether CreateProcessA succeeds and, if so, what the
// wait on its process handle returns.
struct FakeLaunch {
    bool starts = true;
    DWORD waitResult = WAIT_OBJECT_0;
};

// Everything CreateProcessA was given, as it was on entry.
struct CreateProcessRecord {
    std::optional<std::string> applicationName;
    std::string commandLine;
    bool processAttributesNull = false;
    bool threadAttributesNull = false;
    BOOL inheritHandles = TRUE;
    DWORD creationFlags = 0;
    bool environmentNull = false;
    bool currentDirectoryNull = false;
    STARTUPINFOA startupInfo{};
    PROCESS_INFORMATION processInfoOnEntry{};
};

struct FakeHandle {
    HANDLE value;
    std::string name;  // "P1", "T1", ... in launch order
    int closeCount;
};

struct FakePlatform {
    // Script.
    bool versionQuerySucceeds = true;
    DWORD majorVersion = 10;
    DWORD minorVersion = 0;
    bool currentDirectoryQueryFails = false;
    std::string currentDirectory = "C:\\Setup";
    bool systemDirectoryQueryFails = false;
    std::string systemDirectory = "C:\\Windows\\system32";
    std::set<std::string> existingPaths;
    std::vector<FakeLaunch> launches;  // taken in order; past the end, a clean start and end

    // Record.
    std::vector<std::string> calls;
    std::vector<CreateProcessRecord> launchesMade;
    std::vector<DWORD> versionRecordSizes;
    std::vector<FakeHandle> handles;
    std::vector<std::string> faults;  // misuse of a handle, as it happened
    char *directoryBuffer = nullptr;  // where the working directory was written
    std::optional<std::string> slotsAtFirstProbe;  // the five slots' bytes then
};

FakePlatform &Fake();
void ResetFake();

// Names of handles not closed exactly once.
std::vector<std::string> HandlesNotClosedOnce();

// Builds the name the fake gives a present package path.
std::string PackagePath(const std::string &directory, const char *packageFolder);

// Every test starts from a fresh fake and ends with no handle leaked or
// closed twice.
class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFake(); }
    void TearDown() override
    {
        EXPECT_EQ(HandlesNotClosedOnce(), std::vector<std::string>{});
        EXPECT_EQ(Fake().faults, std::vector<std::string>{});
    }
};

#endif
