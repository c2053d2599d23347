#include "start/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace velda;

namespace {

using Formatter = bool (*)(const char*, char*, size_t);

struct CommandCase {
    Formatter format;
    const char* input;
    const char* expected;
};

TEST(CommandLine, FormatsEachCommand) {
    const CommandCase cases[] = {
        {format_exe_command, "C:\\Velda Games\\velda\\Velda.exe",
         "\"C:\\Velda Games\\velda\\Velda.exe\""},
        {format_batch_command, "C:\\Velda Games\\Run-Velda.bat",
         "cmd.exe /C \"\"C:\\Velda Games\\Run-Velda.bat\"\""},
    };
    for (const CommandCase& c : cases) {
        char out[512];
        std::memset(out, 'x', sizeof(out));
        EXPECT_TRUE(c.format(c.input, out, sizeof(out))) << c.input;
        EXPECT_STREQ(out, c.expected);
    }
}

// A command line one byte too long is refused whole, never cut.
TEST(CommandLine, RefusesWhatDoesNotFit) {
    const CommandCase cases[] = {
        {format_exe_command, "C:\\a.exe", "\"C:\\a.exe\""},
        {format_batch_command, "C:\\a.bat", "cmd.exe /C \"\"C:\\a.bat\"\""},
    };
    for (const CommandCase& c : cases) {
        size_t exact = std::strlen(c.expected) + 1;
        std::string out(exact, 'x');
        EXPECT_TRUE(c.format(c.input, out.data(), exact));
        EXPECT_STREQ(out.c_str(), c.expected);
        out.assign(exact, 'x');
        EXPECT_FALSE(c.format(c.input, out.data(), exact - 1)) << c.input;
        EXPECT_EQ(out[0], '\0');
        EXPECT_FALSE(c.format(c.input, nullptr, 0));
    }
}

}  // namespace
