// One installer run against the fake: the command line, the launch's
// arguments, the bounded wait and the order in which handles are released.
#include "fake_platform.h"
#include "installer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const char SYSTEM_PNPUTIL[] = "C:\\Windows\\system32\\pnputil.exe";

std::string Formatted(const std::string &path)
{
    char commandLine[COMMAND_LINE_SIZE];
    std::memset(commandLine, 0x5A, sizeof(commandLine));
    FormatInstallCommand(commandLine, path.c_str());
    EXPECT_EQ(std::memchr(commandLine, '\0', sizeof(commandLine)) != nullptr, true);
    return std::string(commandLine);
}

struct CommandCase {
    const char *name;
    std::string path;
};

void PrintTo(const CommandCase &c, std::ostream *os) { *os << c.name; }

class CommandLineTest : public FakePlatformTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandLineTest, QuotesThePathBetweenTheTwoOptions)
{
    const std::string &path = GetParam().path;
    std::string line = Formatted(path);

    EXPECT_EQ(line, "pnputil.exe /add-driver \"" + path + "\" /install");
    EXPECT_EQ(line.size(), 23 + 1 + 1 + path.size() + 1 + 1 + 8);
    EXPECT_EQ(line.compare(0, 23, "pnputil.exe /add-driver"), 0);
    EXPECT_EQ(line.compare(line.size() - 8, 8, "/install"), 0);
    EXPECT_EQ(std::count(line.begin(), line.end(), '"'), 2);
    EXPECT_EQ(line[24], '"');
    EXPECT_EQ(line[24 + 1 + path.size()], '"');
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CommandLineTest,
    ::testing::Values(CommandCase{"Ordinary", "C:\\Setup\\inf3b17\\WudfBioUsb.inf"},
                      CommandCase{"WithSpaces", "C:\\Program Files\\My Vendor\\inf3b18\\WudfBioUsb.inf"},
                      CommandCase{"DriveRoot", "C:\\\\inf3b17\\WudfBioUsb.inf"},
                      CommandCase{"DoubleByte", "C:\\\xD6\xD0\xCE\xC4\\inf3b1a\\WudfBioUsb.inf"},
                      CommandCase{"Longest255", "C:\\" + std::string(229, 'p') + "\\inf3b20\\WudfBioUsb.inf"}),
    [](const ::testing::TestParamInfo<CommandCase> &info) { return std::string(info.param.name); });

TEST_F(FakePlatformTest, LongestCommandLineIs290BytesAndFitsItsBuffer)
{
    std::string path = "C:\\" + std::string(229, 'p') + "\\inf3b20\\WudfBioUsb.inf";
    ASSERT_EQ(path.size(), 255u);
    EXPECT_EQ(Formatted(path).size(), 290u);
}

using RunInstallCommandTest = FakePlatformTest;

TEST_F(RunInstallCommandTest, LaunchesTheSystemPnputilWithTheGivenArguments)
{
    const std::string path = "C:\\Program Files\\Kit\\inf3b17\\WudfBioUsb.inf";
    RunInstallCommand(path.c_str());

    ASSERT_EQ(Fake().launchesMade.size(), 1u);
    const CreateProcessRecord &launch = Fake().launchesMade[0];
    // Named in full, so no pnputil.exe beside the tool or in the working
    // directory can be picked by the program search.
    EXPECT_EQ(launch.applicationName, std::optional<std::string>(SYSTEM_PNPUTIL));
    EXPECT_EQ(launch.commandLine, "pnputil.exe /add-driver \"" + path + "\" /install");
    EXPECT_TRUE(launch.processAttributesNull);
    EXPECT_TRUE(launch.threadAttributesNull);
    EXPECT_EQ(launch.inheritHandles, FALSE);
    EXPECT_EQ(launch.creationFlags, NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(launch.creationFlags, 0x20u);
    EXPECT_TRUE(launch.environmentNull);
    EXPECT_TRUE(launch.currentDirectoryNull);

    // The start-up record is all zero but for its size; the process record
    // is all zero on entry.
    STARTUPINFOA expectedStartup;
    std::memset(&expectedStartup, 0, sizeof(expectedStartup));
    expectedStartup.cb = 104;
    EXPECT_EQ(std::memcmp(&launch.startupInfo, &expectedStartup, sizeof(STARTUPINFOA)), 0);
    PROCESS_INFORMATION zeroProcess;
    std::memset(&zeroProcess, 0, sizeof(zeroProcess));
    EXPECT_EQ(std::memcmp(&launch.processInfoOnEntry, &zeroProcess, sizeof(PROCESS_INFORMATION)), 0);
}

// What one run does for each way the launch and the wait can go.
struct ReleaseCase {
    const char *name;
    FakeLaunch launch;
    int outcome;
    Calls afterLaunch;
};

void PrintTo(const ReleaseCase &c, std::ostream *os) { *os << c.name; }

class ReleaseOrderTest : public FakePlatformTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseOrderTest, ReleasesEveryHandleInItsOrder)
{
    const ReleaseCase &c = GetParam();
    Fake().launches = {c.launch};

    EXPECT_EQ(RunInstallCommand("C:\\Setup\\inf3b17\\WudfBioUsb.inf"), c.outcome);

    Calls expected = {"GetSystemDirectoryA(256)",
                      std::string("CreateProcessA(") + SYSTEM_PNPUTIL +
                          ", pnputil.exe /add-driver \"C:\\Setup\\inf3b17\\WudfBioUsb.inf\" /install)"};
    expected.insert(expected.end(), c.afterLaunch.begin(), c.afterLaunch.end());
    EXPECT_EQ(Fake().calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, ReleaseOrderTest,
    ::testing::Values(
        // A child that ends: process handle, then thread handle.
        ReleaseCase{"ChildEnds",
                    {true, WAIT_OBJECT_0},
                    ATTEMPT_SUCCEEDED,
                    {"WaitForSingleObject(P1, 5000)", "CloseHandle(P1)", "CloseHandle(T1)"}},
        // Any wait result but a time-out or a failure counts as ended.
        ReleaseCase{"AbandonedCountsAsEnded",
                    {true, 0x80u},
                    ATTEMPT_SUCCEEDED,
                    {"WaitForSingleObject(P1, 5000)", "CloseHandle(P1)", "CloseHandle(T1)"}},
        // A time-out or a failed wait: thread handle, kill with 0, process
        // handle, and no second wait.
        ReleaseCase{"TimeOut",
                    {true, WAIT_TIMEOUT},
                    ATTEMPT_FAILED,
                    {"WaitForSingleObject(P1, 5000)", "CloseHandle(T1)", "TerminateProcess(P1, 0)",
                     "CloseHandle(P1)"}},
        ReleaseCase{"WaitFails",
                    {true, WAIT_FAILED},
                    ATTEMPT_FAILED,
                    {"WaitForSingleObject(P1, 5000)", "CloseHandle(T1)", "TerminateProcess(P1, 0)",
                     "CloseHandle(P1)"}},
        // A failed launch has no handle to release.
        ReleaseCase{"LaunchFails", {false, WAIT_OBJECT_0}, ATTEMPT_FAILED, {}}),
    [](const ::testing::TestParamInfo<ReleaseCase> &info) { return std::string(info.param.name); });

// A system directory that cannot be read, or that leaves no room for the
// program's name, starts nothing: there is no safe program to run.
struct SystemDirectoryCase {
    const char *name;
    std::string directory;
    bool queryFails;
    bool launches;
};

void PrintTo(const SystemDirectoryCase &c, std::ostream *os) { *os << c.name; }

class SystemDirectoryTest : public FakePlatformTest, public ::testing::WithParamInterface<SystemDirectoryCase> {};

TEST_P(SystemDirectoryTest, StartsOnlyAProgramNamedInFull)
{
    const SystemDirectoryCase &c = GetParam();
    Fake().systemDirectory = c.directory;
    Fake().systemDirectoryQueryFails = c.queryFails;

    int outcome = RunInstallCommand("C:\\Setup\\inf3b17\\WudfBioUsb.inf");

    EXPECT_EQ(outcome, c.launches ? ATTEMPT_SUCCEEDED : ATTEMPT_FAILED);
    ASSERT_EQ(Fake().launchesMade.size(), c.launches ? 1u : 0u);
    if (c.launches) {
        EXPECT_EQ(Fake().launchesMade[0].applicationName, std::optional<std::string>(c.directory + "\\pnputil.exe"));
    } else {
        EXPECT_EQ(Fake().calls, Calls{"GetSystemDirectoryA(256)"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, SystemDirectoryTest,
    ::testing::Values(SystemDirectoryCase{"QueryFails", "C:\\Windows\\system32", true, false},
                      SystemDirectoryCase{"Longest243", "C:\\" + std::string(240, 's'), false, true},
                      SystemDirectoryCase{"NoRoom244", "C:\\" + std::string(241, 's'), false, false},
                      SystemDirectoryCase{"TooLongToDeliver", "C:\\" + std::string(300, 's'), false, false}),
    [](const ::testing::TestParamInfo<SystemDirectoryCase> &info) { return std::string(info.param.name); });

}  // namespace
