// The install run against the fake: the version gate, the package paths and
// the walk over them.
#include "fake_platform.h"
#include "installer.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

const char *const PACKAGE_FOLDERS[PACKAGE_COUNT] = {"inf3b17", "inf3b18", "inf3b19", "inf3b1a", "inf3b20"};

std::string CommandFor(const std::string &path) { return "pnputil.exe /add-driver \"" + path + "\" /install"; }

std::string LaunchCall(const std::string &path)
{
    return "CreateProcessA(C:\\Windows\\system32\\pnputil.exe, " + CommandFor(path) + ")";
}

// The calls one installer run makes when its child ends within the bound.
Calls CleanRunCalls(const std::string &path, int runNumber)
{
    std::string n = std::to_string(runNumber);
    return {"GetSystemDirectoryA(256)", LaunchCall(path), "WaitForSingleObject(P" + n + ", 5000)",
            "CloseHandle(P" + n + ")", "CloseHandle(T" + n + ")"};
}

// The first calls of every run that passes the version gate.
Calls RunPrologue() { return {"GetVersionExA(148)", "GetCurrentDirectoryA(256)"}; }

void Append(Calls &calls, const Calls &more) { calls.insert(calls.end(), more.begin(), more.end()); }

std::string Probe(const std::string &path) { return "_access(" + path + ", 0)"; }

// ---------------------------------------------------------------------------
// Version gate.

struct VersionCase {
    DWORD major;
    DWORD minor;
    bool excluded;
};

// Keeps test names and failure messages readable.
void PrintTo(const VersionCase &c, std::ostream *os) { *os << c.major << "." << c.minor; }

class VersionGateTest : public FakePlatformTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionGateTest, ExcludesExactlyTheOldVersions)
{
    const VersionCase &c = GetParam();
    EXPECT_EQ(IsExcludedWindowsVersion(c.major, c.minor), c.excluded);

    Fake().majorVersion = c.major;
    Fake().minorVersion = c.minor;
    Fake().existingPaths = {PackagePath("C:\\Setup", "inf3b17")};
    int result = InstallDriverPackages();

    if (c.excluded) {
        // Nothing but the version query: no directory read, probe or launch.
        EXPECT_EQ(result, 1);
        EXPECT_EQ(Fake().calls, Calls{"GetVersionExA(148)"});
    } else {
        EXPECT_EQ(result, ATTEMPT_SUCCEEDED);
        ASSERT_GE(Fake().calls.size(), 2u);
        EXPECT_EQ(Fake().calls[1], "GetCurrentDirectoryA(256)");
        EXPECT_EQ(Fake().launchesMade.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionGateTest,
                         ::testing::Values(VersionCase{4, 0, false}, VersionCase{4, 10, false},
                                           VersionCase{5, 0, true}, VersionCase{5, 1, true},
                                           VersionCase{5, 2, true}, VersionCase{5, 3, false},
                                           VersionCase{5, 0xFFFFFFFF, false}, VersionCase{6, 0, true},
                                           VersionCase{6, 1, true}, VersionCase{6, 2, false},
                                           VersionCase{6, 3, false}, VersionCase{7, 0, false},
                                           VersionCase{10, 0, false}, VersionCase{0, 0, false},
                                           VersionCase{0xFFFFFFFF, 1, false}));

using InstallRunTest = FakePlatformTest;

TEST_F(InstallRunTest, VersionRecordCarriesItsSize)
{
    InstallDriverPackages();
    EXPECT_EQ(Fake().versionRecordSizes, std::vector<DWORD>{148});
}

TEST_F(InstallRunTest, FailedVersionQueryProceedsToTheWalk)
{
    Fake().versionQuerySucceeds = false;
    Fake().majorVersion = 6;  // would be excluded, were it reported
    Fake().minorVersion = 1;
    Fake().existingPaths = {PackagePath("C:\\Setup", "inf3b18")};

    EXPECT_EQ(InstallDriverPackages(), ATTEMPT_SUCCEEDED);
    ASSERT_EQ(Fake().launchesMade.size(), 1u);
    EXPECT_EQ(Fake().launchesMade[0].commandLine, CommandFor(PackagePath("C:\\Setup", "inf3b18")));
}

// ---------------------------------------------------------------------------
// Package paths.

struct PathCase {
    const char *name;
    std::string directory;
    bool formed;  // whether the five paths come out whole
};

void PrintTo(const PathCase &c, std::ostream *os) { *os << c.name; }

std::string DirectoryOfLength(size_t length)
{
    std::string directory = "C:\\";
    while (directory.size() < length) {
        directory += (directory.size() % 40 == 0) ? '\\' : 'd';
    }
    return directory;
}

// "C:\a" followed by GBK characters (two bytes each, both with the high bit
// set, as code page 936 encodes them).
std::string DoubleByteDirectory(size_t characters, bool padded)
{
    std::string directory = padded ? "C:\\a" : "C:\\";
    for (size_t i = 0; i < characters; ++i) {
        directory += "\xD6\xD0";
    }
    return directory;
}

class PackagePathsTest : public FakePlatformTest, public ::testing::WithParamInterface<PathCase> {};

TEST_P(PackagePathsTest, FormsEachPathWholeOrNotAtAll)
{
    const PathCase &c = GetParam();
    Fake().currentDirectory = c.directory;

    char slots[PACKAGE_COUNT][PATH_SLOT_SIZE];
    std::memset(slots, 0x5A, sizeof(slots));  // shows what the routine did not clear
    int result = BuildPackagePaths(slots);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(Fake().calls, Calls{"GetCurrentDirectoryA(256)"});
    for (int slot = 0; slot < PACKAGE_COUNT; ++slot) {
        std::string expected = c.formed ? PackagePath(c.directory, PACKAGE_FOLDERS[slot]) : "";
        EXPECT_EQ(std::string(slots[slot]), expected) << "slot " << slot + 1;
        // The zero fill covers every byte past the text.
        for (size_t i = expected.size(); i < PATH_SLOT_SIZE; ++i) {
            ASSERT_EQ(slots[slot][i], '\0') << "slot " << slot + 1 << " byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, PackagePathsTest,
    ::testing::Values(PathCase{"Ordinary", "C:\\Setup\\Driver", true},
                      PathCase{"WithSpaces", "C:\\Program Files\\Vendor Setup", true},
                      // The root keeps its backslash, so the path has two.
                      PathCase{"DriveRoot", "C:\\", true},
                      PathCase{"Longest232", DirectoryOfLength(232), true},
                      PathCase{"OneByteTooLong233", DirectoryOfLength(233), false},
                      PathCase{"Longest255", DirectoryOfLength(255), false},
                      PathCase{"DoubleByte232Bytes", DoubleByteDirectory(114, true), true},
                      // 118 characters but 233 bytes: bytes are what counts.
                      PathCase{"DoubleByte233Bytes", DoubleByteDirectory(115, false), false}),
    [](const ::testing::TestParamInfo<PathCase> &info) { return std::string(info.param.name); });

TEST_F(InstallRunTest, DriveRootGivesDoubledBackslash)
{
    Fake().currentDirectory = "C:\\";
    char slots[PACKAGE_COUNT][PATH_SLOT_SIZE];
    BuildPackagePaths(slots);
    EXPECT_STREQ(slots[0], "C:\\\\inf3b17\\WudfBioUsb.inf");
}

TEST_F(InstallRunTest, LongestDirectoryGivesPathsOf255BytesUsedInFull)
{
    std::string directory = DirectoryOfLength(232);
    ASSERT_EQ(directory.size(), 232u);
    Fake().currentDirectory = directory;
    for (const char *folder : PACKAGE_FOLDERS) {
        Fake().existingPaths.insert(PackagePath(directory, folder));
    }

    InstallDriverPackages();

    ASSERT_EQ(Fake().launchesMade.size(), 5u);
    for (int i = 0; i < PACKAGE_COUNT; ++i) {
        std::string path = PackagePath(directory, PACKAGE_FOLDERS[i]);
        EXPECT_EQ(path.size(), 255u);
        EXPECT_EQ(Fake().launchesMade[i].commandLine, CommandFor(path));
    }
}

// A directory that cannot be read whole, or that leaves no room for the
// suffixes, installs nothing: in particular no root-relative path such as
// "\inf3b17\WudfBioUsb.inf" is ever probed.
struct UnusableDirectoryCase {
    const char *name;
    std::string directory;
    bool queryFails;
    bool readWhole;
};

void PrintTo(const UnusableDirectoryCase &c, std::ostream *os) { *os << c.name; }

class UnusableDirectoryTest : public FakePlatformTest,
                              public ::testing::WithParamInterface<UnusableDirectoryCase> {};

TEST_P(UnusableDirectoryTest, ProbesAndStartsNothing)
{
    const UnusableDirectoryCase &c = GetParam();
    auto script = [&c]() {
        Fake().currentDirectory = c.directory;
        Fake().currentDirectoryQueryFails = c.queryFails;
        // Present both at the drive's root and under the directory, so any
        // probe at all would start a run.
        for (const char *folder : PACKAGE_FOLDERS) {
            Fake().existingPaths.insert(std::string("\\") + folder + "\\WudfBioUsb.inf");
            Fake().existingPaths.insert(PackagePath(c.directory, folder));
        }
    };

    script();
    char slots[PACKAGE_COUNT][PATH_SLOT_SIZE];
    EXPECT_EQ(BuildPackagePaths(slots), c.readWhole ? 1 : 0);
    for (int slot = 0; slot < PACKAGE_COUNT; ++slot) {
        EXPECT_STREQ(slots[slot], "") << "slot " << slot + 1;
    }

    ResetFake();
    script();
    EXPECT_EQ(InstallDriverPackages(), ATTEMPT_FAILED);
    EXPECT_EQ(Fake().calls, RunPrologue());
}

INSTANTIATE_TEST_SUITE_P(
    Directories, UnusableDirectoryTest,
    ::testing::Values(UnusableDirectoryCase{"QueryFails", "C:\\Setup", true, false},
                      // 255 bytes and its NUL fill the slot exactly: read whole, no room.
                      UnusableDirectoryCase{"Fits255NoRoom", DirectoryOfLength(255), false, true},
                      UnusableDirectoryCase{"TooLongToDeliver256", DirectoryOfLength(256), false, false},
                      UnusableDirectoryCase{"TooLongToDeliver300", DirectoryOfLength(300), false, false},
                      UnusableDirectoryCase{"NoRoom233", DirectoryOfLength(233), false, true}),
    [](const ::testing::TestParamInfo<UnusableDirectoryCase> &info) { return std::string(info.param.name); });

TEST_F(InstallRunTest, AllFivePathsAreFormedBeforeTheFirstProbe)
{
    Fake().currentDirectory = "D:\\Kit";
    InstallDriverPackages();

    ASSERT_TRUE(Fake().slotsAtFirstProbe.has_value());
    const std::string &slots = *Fake().slotsAtFirstProbe;
    for (int slot = 0; slot < PACKAGE_COUNT; ++slot) {
        EXPECT_EQ(std::string(slots.c_str() + slot * PATH_SLOT_SIZE), PackagePath("D:\\Kit", PACKAGE_FOLDERS[slot]));
    }
}

// ---------------------------------------------------------------------------
// The walk.

TEST_F(InstallRunTest, NoPackagePresentProbesAllFiveInOrderAndReturnsFailed)
{
    EXPECT_EQ(InstallDriverPackages(), ATTEMPT_FAILED);

    Calls expected = RunPrologue();
    for (const char *folder : PACKAGE_FOLDERS) {
        expected.push_back(Probe(PackagePath("C:\\Setup", folder)));
    }
    EXPECT_EQ(Fake().calls, expected);
}

TEST_F(InstallRunTest, RowsTwoAndFourGiveExactlyTwoRunsInOrder)
{
    std::string second = PackagePath("C:\\Setup", "inf3b18");
    std::string fourth = PackagePath("C:\\Setup", "inf3b1a");
    Fake().existingPaths = {fourth, second};

    EXPECT_EQ(InstallDriverPackages(), ATTEMPT_SUCCEEDED);

    Calls expected = RunPrologue();
    expected.push_back(Probe(PackagePath("C:\\Setup", "inf3b17")));
    expected.push_back(Probe(second));
    Append(expected, CleanRunCalls(second, 1));
    expected.push_back(Probe(PackagePath("C:\\Setup", "inf3b19")));
    expected.push_back(Probe(fourth));
    Append(expected, CleanRunCalls(fourth, 2));
    expected.push_back(Probe(PackagePath("C:\\Setup", "inf3b20")));
    EXPECT_EQ(Fake().calls, expected);
}

TEST_F(InstallRunTest, AllFivePresentRunInTableOrder)
{
    for (const char *folder : PACKAGE_FOLDERS) {
        Fake().existingPaths.insert(PackagePath("C:\\Setup", folder));
    }

    EXPECT_EQ(InstallDriverPackages(), ATTEMPT_SUCCEEDED);

    Calls expected = RunPrologue();
    for (int i = 0; i < PACKAGE_COUNT; ++i) {
        std::string path = PackagePath("C:\\Setup", PACKAGE_FOLDERS[i]);
        expected.push_back(Probe(path));
        Append(expected, CleanRunCalls(path, i + 1));
    }
    EXPECT_EQ(Fake().calls, expected);
}

// The walk never stops early, and the run's result is the last attempt's.
struct WalkCase {
    const char *name;
    std::vector<FakeLaunch> launches;
    int expectedResult;
};

void PrintTo(const WalkCase &c, std::ostream *os) { *os << c.name; }

class WalkOutcomeTest : public FakePlatformTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(WalkOutcomeTest, GoesOnAfterEveryFailureAndReturnsTheLastOutcome)
{
    const WalkCase &c = GetParam();
    for (const char *folder : PACKAGE_FOLDERS) {
        Fake().existingPaths.insert(PackagePath("C:\\Setup", folder));
    }
    Fake().launches = c.launches;

    EXPECT_EQ(InstallDriverPackages(), c.expectedResult);
    ASSERT_EQ(Fake().launchesMade.size(), 5u);
    for (int i = 0; i < PACKAGE_COUNT; ++i) {
        EXPECT_EQ(Fake().launchesMade[i].commandLine, CommandFor(PackagePath("C:\\Setup", PACKAGE_FOLDERS[i])));
    }
}

const FakeLaunch ENDS{true, WAIT_OBJECT_0};
const FakeLaunch NO_START{false, WAIT_OBJECT_0};
const FakeLaunch HANGS{true, WAIT_TIMEOUT};
const FakeLaunch WAIT_BREAKS{true, WAIT_FAILED};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, WalkOutcomeTest,
    ::testing::Values(WalkCase{"LaunchFailureFirst", {NO_START, ENDS, ENDS, ENDS, ENDS}, ATTEMPT_SUCCEEDED},
                      WalkCase{"TimeOutInTheMiddle", {ENDS, ENDS, HANGS, ENDS, ENDS}, ATTEMPT_SUCCEEDED},
                      WalkCase{"WaitFailureInTheMiddle", {ENDS, WAIT_BREAKS, ENDS, ENDS, ENDS}, ATTEMPT_SUCCEEDED},
                      WalkCase{"LastLaunchFails", {ENDS, ENDS, ENDS, ENDS, NO_START}, ATTEMPT_FAILED},
                      WalkCase{"LastTimesOut", {ENDS, ENDS, ENDS, ENDS, HANGS}, ATTEMPT_FAILED},
                      WalkCase{"LastWaitFails", {ENDS, ENDS, ENDS, ENDS, WAIT_BREAKS}, ATTEMPT_FAILED},
                      WalkCase{"AllHang", {HANGS, HANGS, HANGS, HANGS, HANGS}, ATTEMPT_FAILED},
                      WalkCase{"OnlyTheLastEnds", {NO_START, HANGS, WAIT_BREAKS, NO_START, ENDS}, ATTEMPT_SUCCEEDED}),
    [](const ::testing::TestParamInfo<WalkCase> &info) { return std::string(info.param.name); });

}  // namespace
