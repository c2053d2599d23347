#include <gtest/gtest.h>

#include <string>

#include "common/install_paths.h"
#include "common/log_format.h"

using namespace velda;

namespace {

TEST(LogTimestamp, IsoLocalTimeWithItsOffset) {
    struct Case {
        LogTimestamp time;
        const char* text;
    };
    const Case cases[] = {
        {{2026, 12, 8, 19, 2, 3, 123, 60}, "2026-12-08T19:02:03.123+01:00"},
        {{2026, 1, 31, 0, 0, 0, 7, 0}, "2026-01-31T00:00:00.007+00:00"},
        {{2026, 7, 1, 23, 59, 59, 999, -210}, "2026-07-01T23:59:59.999-03:30"},
        {{2026, 3, 29, 12, 0, 0, 0, 345}, "2026-03-29T12:00:00.000+05:45"},
    };
    for (const Case& c : cases) {
        char text[kLogTimestampSize];
        format_log_timestamp(c.time, text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(LogFileLine, OneLinePerEntryEndingInCrLf) {
    const LogTimestamp time = {2026, 12, 8, 19, 2, 3, 123, 60};
    struct Case {
        const char* message;
        std::string line;
    };
    const Case cases[] = {
        {"Consultando latest.json...",
         "2026-12-08T19:02:03.123+01:00 [launcher] Consultando latest.json...\r\n"},
        {"", "2026-12-08T19:02:03.123+01:00 [launcher] \r\n"},
        // A message never starts a line of its own.
        {"uno\r\ndos\nTRES", "2026-12-08T19:02:03.123+01:00 [launcher] uno  dos TRES\r\n"},
    };
    for (const Case& c : cases) {
        char line[256];
        size_t length = format_log_file_line(time, "launcher", c.message, line, sizeof(line));
        EXPECT_EQ(std::string(line, length), c.line);
        EXPECT_EQ(std::string(line), c.line);
    }

    // A long message is cut, and the line still ends in CR LF within the buffer.
    const std::string long_message(500, 'x');
    char small[64];
    size_t length =
        format_log_file_line(time, "detalle", long_message.c_str(), small, sizeof(small));
    EXPECT_EQ(length, sizeof(small) - 1);
    EXPECT_EQ(std::string(small).substr(0, 41), "2026-12-08T19:02:03.123+01:00 [detalle] x");
    EXPECT_EQ(std::string(small).substr(length - 3), "x\r\n");
}

TEST(LogRotation, BeforeALineWouldPassOneMebibyte) {
    struct Case {
        uint64_t file_size;
        size_t line_size;
        bool rotate;
    };
    const Case cases[] = {
        {0, 0, false},
        // An empty file takes any line: a line alone never rotates.
        {0, 2 * 1024 * 1024, false},
        {1024 * 1024 - 10, 10, false},
        {1024 * 1024 - 10, 11, true},
        {1024 * 1024, 1, true},
        {5 * 1024 * 1024, 1, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(log_needs_rotation(c.file_size, c.line_size), c.rotate)
            << c.file_size << " + " << c.line_size;
    }
}

TEST(JoinPath, RefusesWhatWouldNotFitRatherThanCutting) {
    const std::string folder(250, 'f');
    struct Case {
        std::string name;
        bool fits;
    };
    const Case cases[] = {
        {"a.txt", true},
        {std::string(8, 'n'), true},   // 250 + 1 + 8 = 259 bytes: the most that fits
        {std::string(9, 'n'), false},  // 260 bytes would leave no room for the terminator
    };
    for (const Case& c : cases) {
        char out[kPathSize] = "previous";
        EXPECT_EQ(join_path(folder.c_str(), c.name.c_str(), out), c.fits) << c.name;
        EXPECT_EQ(std::string(out), c.fits ? folder + "\\" + c.name : "") << c.name;
    }
}

TEST(InstallPaths, FormedOnlyWhenEveryPathFits) {
    InstallPaths paths = install_paths_for("C:\\Juegos\\Лаунчер 启动器");
    EXPECT_TRUE(paths.fits);
    EXPECT_STREQ(paths.install_folder, "C:\\Juegos\\Лаунчер 启动器\\velda");
    EXPECT_STREQ(paths.stamp_path, "C:\\Juegos\\Лаунчер 启动器\\velda\\velda.version");
    EXPECT_STREQ(paths.product_path, "C:\\Juegos\\Лаунчер 启动器\\velda\\Velda.exe");

    // The folder fits, its stamp path would not: nothing is formed.
    const std::string long_folder = "C:\\" + std::string(240, 'l');
    paths = install_paths_for(long_folder.c_str());
    EXPECT_FALSE(paths.fits);
    EXPECT_STREQ(paths.install_folder, "");
    EXPECT_STREQ(paths.stamp_path, "");
    EXPECT_STREQ(paths.product_path, "");
}

}  // namespace
