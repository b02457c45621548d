// The tool's own bounded copy, append and format keep the C runtime's
// contracts, so the core behaves the same on its own runtime and on
// Visual Studio's.
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

const errno_t OK = 0;
const errno_t EINVAL_ = 22;
const errno_t ERANGE_ = 34;

struct CopyCase {
    const char *name;
    bool append;
    std::string initial;  // dest's text before the call
    const char *source;
    size_t size;
    errno_t result;
    std::string after;
};

void PrintTo(const CopyCase &c, std::ostream *os) { *os << c.name; }

class BoundedCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(BoundedCopyTest, FitsWholeOrEmptiesTheDestination)
{
    const CopyCase &c = GetParam();
    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    std::memcpy(buffer, c.initial.c_str(), c.initial.size() + 1);

    errno_t result = c.append ? strcat_s(buffer, c.size, c.source) : strcpy_s(buffer, c.size, c.source);

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::string(buffer), c.after);
    // Nothing is written past the size given.
    for (size_t i = std::max(c.size, c.initial.size() + 1); i < sizeof(buffer); ++i) {
        EXPECT_EQ(buffer[i], 'x') << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundedCopyTest,
    ::testing::Values(CopyCase{"CopyFits", false, "", "abc", 8, OK, "abc"},
                      CopyCase{"CopyFillsExactly", false, "", "abcdefg", 8, OK, "abcdefg"},
                      CopyCase{"CopyOneTooMany", false, "old", "abcdefgh", 8, ERANGE_, ""},
                      CopyCase{"CopyNullSource", false, "old", nullptr, 8, EINVAL_, ""},
                      CopyCase{"CopyEmpty", false, "old", "", 8, OK, ""},
                      CopyCase{"AppendFits", true, "ab", "cd", 8, OK, "abcd"},
                      CopyCase{"AppendFillsExactly", true, "abc", "defg", 8, OK, "abcdefg"},
                      CopyCase{"AppendOneTooMany", true, "abcd", "efgh", 8, ERANGE_, ""},
                      CopyCase{"AppendNullSource", true, "ab", nullptr, 8, EINVAL_, ""},
                      // No NUL within the size: not a string to append to.
                      CopyCase{"AppendUnterminated", true, "abcdefghij", "k", 8, EINVAL_, ""}),
    [](const ::testing::TestParamInfo<CopyCase> &info) { return std::string(info.param.name); });

TEST(BoundedCopyTest, MissingOrEmptyDestinationIsRefused)
{
    char buffer[4] = {'k', 'e', 'p', 't'};
    EXPECT_EQ(strcpy_s(nullptr, 4, "a"), EINVAL_);
    EXPECT_EQ(strcat_s(nullptr, 4, "a"), EINVAL_);
    EXPECT_EQ(strcpy_s(buffer, 0, "a"), EINVAL_);
    EXPECT_EQ(strcat_s(buffer, 0, "a"), EINVAL_);
    EXPECT_EQ(std::string(buffer, 4), "kept");
}

struct FormatCase {
    const char *name;
    const char *format;
    const char *argument;
    size_t size;
    int result;
    std::string after;
};

void PrintTo(const FormatCase &c, std::ostream *os) { *os << c.name; }

class BoundedFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(BoundedFormatTest, FitsWholeOrEmptiesTheBuffer)
{
    const FormatCase &c = GetParam();
    char buffer[32];
    std::memset(buffer, 'x', sizeof(buffer));

    EXPECT_EQ(sprintf_s(buffer, c.size, c.format, c.argument), c.result);
    EXPECT_EQ(std::string(buffer), c.after);
    for (size_t i = c.size; i < sizeof(buffer); ++i) {
        EXPECT_EQ(buffer[i], 'x') << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoundedFormatTest,
    ::testing::Values(FormatCase{"Text", "a \"%s\" b", "p q", 16, 9, "a \"p q\" b"},
                      FormatCase{"FillsExactly", "<%s>", "abcde", 8, 7, "<abcde>"},
                      FormatCase{"OneTooMany", "<%s>", "abcdef", 8, -1, ""},
                      FormatCase{"Percent", "100%% %s", "sure", 16, 9, "100% sure"},
                      FormatCase{"NullArgument", "[%s]", nullptr, 16, 8, "[(null)]"},
                      FormatCase{"UnsupportedConversion", "%d", "1", 16, -1, ""},
                      FormatCase{"TrailingPercent", "abc%", "1", 16, -1, ""},
                      FormatCase{"NullFormat", nullptr, "1", 16, -1, ""}),
    [](const ::testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

TEST(BoundedFormatTest, SeveralArgumentsInOrder)
{
    char buffer[64];
    EXPECT_EQ(sprintf_s(buffer, sizeof(buffer), "%s \"%s\" %s", "one", "two", "three"), 15);
    EXPECT_STREQ(buffer, "one \"two\" three");
}

}  // namespace
