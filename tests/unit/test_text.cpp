#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

using namespace velda;

namespace {

struct TrimCase {
    std::string input;
    std::string expected;
};

TEST(TrimInPlace, StripsBomThenBlanksOnBothSides) {
    const TrimCase cases[] = {
        {"", ""},
        {"1.2.3", "1.2.3"},
        {"  1.2.3\r\n", "1.2.3"},
        {"\t\n\r x y \t\n\r", "x y"},
        {"\xEF\xBB\xBF"
         "1.4.2\r\n",
         "1.4.2"},
        {"\xEF\xBB\xBF  language=es", "language=es"},
        // The mark is removed once, and only at the very start.
        {"\xEF\xBB\xBF\xEF\xBB\xBF"
         "x",
         "\xEF\xBB\xBF"
         "x"},
        {" \xEF\xBB\xBF"
         "x",
         "\xEF\xBB\xBF"
         "x"},
        {"\xEF\xBB", "\xEF\xBB"},
        {"\xEF\xBB\xBF", ""},
        // Vertical tab, form feed and other control bytes are not blanks here.
        {"\v1.2.3\f", "\v1.2.3\f"},
        {" \x01 ", "\x01"},
        {"   ", ""},
    };
    for (const TrimCase& c : cases) {
        std::string buffer = c.input;
        trim_in_place(buffer.data());
        EXPECT_EQ(std::string(buffer.c_str()), c.expected) << "input: " << c.input;
    }
}

TEST(CopyBounded, CutsAndAlwaysTerminates) {
    char small[4];
    copy_bounded(small, sizeof(small), "abcdef");
    EXPECT_STREQ(small, "abc");
    copy_bounded(small, sizeof(small), "ab");
    EXPECT_STREQ(small, "ab");
}

TEST(FormatBounded, CutsWithoutNotice) {
    char out[8];
    format_bounded(out, sizeof(out), "%s-%d", "abcdef", 42);
    EXPECT_STREQ(out, "abcdef-");
}

}  // namespace
