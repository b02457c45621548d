// The entry point: exit status 0 whatever happens, and not a byte on the
// standard streams.
#include "fake_platform.h"
#include "installer.h"

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

// src/main.cpp, built under this name for the tests.
int BrelmotMain(void);

namespace {

// Runs the entry point with stdout and stderr sent to a file, and returns
// its status and what was written.
int RunMainCapturingOutput(std::string &output)
{
    std::fflush(stdout);
    std::fflush(stderr);
    FILE *sink = std::tmpfile();
    int savedOut = dup(1);
    int savedErr = dup(2);
    dup2(fileno(sink), 1);
    dup2(fileno(sink), 2);

    int status = BrelmotMain();

    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    std::rewind(sink);
    output.clear();
    char chunk[256];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), sink)) > 0) {
        output.append(chunk, got);
    }
    std::fclose(sink);
    return status;
}

void AllFivePresent()
{
    for (const char *folder : {"inf3b17", "inf3b18", "inf3b19", "inf3b1a", "inf3b20"}) {
        Fake().existingPaths.insert(PackagePath("C:\\Setup", folder));
    }
}

struct MainCase {
    const char *name;
    std::function<void()> script;
    size_t launches;
};

void PrintTo(const MainCase &c, std::ostream *os) { *os << c.name; }

class MainTest : public FakePlatformTest, public ::testing::WithParamInterface<MainCase> {};

TEST_P(MainTest, ExitsZeroAndWritesNothing)
{
    GetParam().script();
    std::string output;
    EXPECT_EQ(RunMainCapturingOutput(output), 0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(Fake().launchesMade.size(), GetParam().launches);
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, MainTest,
    ::testing::Values(MainCase{"ExcludedVersion", [] { Fake().majorVersion = 6; Fake().minorVersion = 1; AllFivePresent(); }, 0},
                      MainCase{"VersionQueryFails", [] { Fake().versionQuerySucceeds = false; AllFivePresent(); }, 5},
                      MainCase{"NoPackage", [] {}, 0},
                      MainCase{"AllSucceed", [] { AllFivePresent(); }, 5},
                      MainCase{"AllFailToStart",
                               [] {
                                   AllFivePresent();
                                   Fake().launches.assign(5, FakeLaunch{false, WAIT_OBJECT_0});
                               },
                               5},
                      MainCase{"AllHang",
                               [] {
                                   AllFivePresent();
                                   Fake().launches.assign(5, FakeLaunch{true, WAIT_TIMEOUT});
                               },
                               5},
                      MainCase{"DirectoryUnreadable", [] { Fake().currentDirectoryQueryFails = true; }, 0},
                      MainCase{"NoSystemDirectory",
                               [] {
                                   AllFivePresent();
                                   Fake().systemDirectoryQueryFails = true;
                               },
                               0}),
    [](const ::testing::TestParamInfo<MainCase> &info) { return std::string(info.param.name); });

}  // namespace
