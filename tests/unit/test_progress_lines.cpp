#include "install/progress_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace velda;

namespace {

using Report = std::pair<uint32_t, uint32_t>;
using Reports = std::vector<Report>;

void record(uint32_t done, uint32_t total, void* user_data) {
    static_cast<Reports*>(user_data)->push_back({done, total});
}

// Feeds the output in the given pieces, then ends it as the pipe would.
Reports read_pieces(const std::vector<std::string>& pieces) {
    ProgressLineReader reader;
    progress_reader_init(&reader);
    Reports reports;
    for (const std::string& piece : pieces) {
        progress_reader_feed(&reader, piece.data(), piece.size(), record, &reports);
    }
    progress_reader_finish(&reader, record, &reports);
    return reports;
}

Reports read_bytewise(const std::string& output) {
    std::vector<std::string> pieces;
    for (char c : output) {
        pieces.emplace_back(1, c);
    }
    return read_pieces(pieces);
}

struct ParseCase {
    const char* line;
    bool parsed;
    uint32_t done;
    uint32_t total;
};

TEST(ParseProgressLine, FollowsTheScanOfTwoUnsignedNumbers) {
    const ParseCase cases[] = {
        {"PROGRESS:3:10", true, 3, 10},
        {"PROGRESS:3:10 and more", true, 3, 10},
        {"PROGRESS:3:10:7", true, 3, 10},
        {"PROGRESS:0:0", true, 0, 0},
        {"PROGRESS:1:1", true, 1, 1},
        {"PROGRESS: 3:\t10", true, 3, 10},
        {"PROGRESS:+3:+10", true, 3, 10},
        {"PROGRESS:007:010", true, 7, 10},
        {"PROGRESS:4294967295:4294967295", true, 4294967295u, 4294967295u},
        {"PROGRESS:4294967296:99999999999999999999", true, 4294967295u, 4294967295u},
        {"PROGRESS:-1:2", true, 4294967295u, 2},
        {"PROGRESS:-0:-5", true, 0, 4294967291u},
        {"PROGRESS:1:-99999999999", true, 1, 4294967295u},
        {"PROGRESS:0x10:2", false, 0, 0},
        {"PROGRESS:5", false, 5, 0},
        {"PROGRESS:5:", false, 5, 0},
        {"PROGRESS:5 :6", false, 5, 0},
        {"PROGRESS:5;6", false, 5, 0},
        {"PROGRESS::6", false, 0, 0},
        {"PROGRESS:- 1:2", false, 0, 0},
        {"PROGRESS:+:2", false, 0, 0},
        {"PROGRESS:", false, 0, 0},
        {"PROGRESS 3:10", false, 0, 0},
        {"progress:3:10", false, 0, 0},
        {"Progress:3:10", false, 0, 0},
        {" PROGRESS:3:10", false, 0, 0},
        {"PROGRESS", false, 0, 0},
        {"", false, 0, 0},
        {"Exception calling OpenRead", false, 0, 0},
    };
    for (const ParseCase& c : cases) {
        uint32_t done = 77;
        uint32_t total = 77;
        EXPECT_EQ(parse_progress_line(c.line, &done, &total), c.parsed) << c.line;
        EXPECT_EQ(done, c.done) << c.line;
        EXPECT_EQ(total, c.total) << c.line;
    }
}

struct StreamCase {
    const char* name;
    std::string output;
    Reports reports;
};

TEST(ProgressLineReader, TurnsOutputIntoReports) {
    const StreamCase cases[] = {
        {"crlf and lf alike",
         "PROGRESS:1:3\r\nPROGRESS:2:3\nPROGRESS:3:3\r\n",
         {{1, 3}, {2, 3}, {3, 3}}},
        {"cr inside a line", "PRO\rGRESS:1:\r2\r\n", {{1, 2}}},
        {"cr alone ends nothing", "PROGRESS:1:2\rPROGRESS:2:2\n", {{1, 2}}},
        {"last line without lf", "PROGRESS:1:2\nPROGRESS:2:2", {{1, 2}, {2, 2}}},
        {"last line only cr", "PROGRESS:2:2\r", {{2, 2}}},
        {"empty archive", "PROGRESS:1:1\r\n", {{1, 1}}},
        {"no output", "", {}},
        {"only blank lines", "\r\n\n\r\n", {}},
        {"lower case prefix", "progress:1:2\n", {}},
        {"single number", "PROGRESS:5\n", {}},
        {"trailing text", "PROGRESS:3:10 files\n", {{3, 10}}},
        {"error text between",
         "PROGRESS:1:2\r\nAt line:1 char:2\r\n+ error\r\nPROGRESS:2:2\r\n",
         {{1, 2}, {2, 2}}},
        {"a line of 511 bytes is whole", "PROGRESS:1:" + std::string(499, ' ') + "2\n", {{1, 2}}},
        {"the 512th byte is dropped", "PROGRESS:1:" + std::string(500, ' ') + "2\n", {}},
        {"prefix after 511 bytes is dropped",
         std::string(511, 'x') + "PROGRESS:1:1\nPROGRESS:2:2\n",
         {{2, 2}}},
        // The numbers start inside the kept 511 bytes and are cut there.
        {"numbers cut at 511 bytes",
         std::string(505, ' ').replace(0, 9, "PROGRESS:") + "1234:5678\n",
         {{1234, 5}}},
        {"drop lasts until the line feed",
         std::string(511, 'x') + "\rPROGRESS:1:1" + std::string(3000, 'y') + "\nPROGRESS:4:4\n",
         {{4, 4}}},
    };
    for (const StreamCase& c : cases) {
        EXPECT_EQ(read_pieces({c.output}), c.reports) << c.name;
        EXPECT_EQ(read_bytewise(c.output), c.reports) << c.name << " (byte by byte)";
    }
}

TEST(ProgressLineReader, AssemblesALineSplitOverReads) {
    EXPECT_EQ(read_pieces({"PROG", "RESS:1", "2:", "40\r", "\nPROGRESS:13:40\r\n"}),
              (Reports{{12, 40}, {13, 40}}));
    EXPECT_EQ(read_pieces({"PROGRESS:1:2\r", "\n", "", "PROGRESS:2", ":2"}),
              (Reports{{1, 2}, {2, 2}}));
}

TEST(ProgressLineReader, KeepsAtMost511BytesAcrossReads) {
    ProgressLineReader reader;
    progress_reader_init(&reader);
    Reports reports;
    const std::string noise(300, 'n');
    for (int i = 0; i < 5; ++i) {
        progress_reader_feed(&reader, noise.data(), noise.size(), record, &reports);
        EXPECT_LE(reader.length, 511u);
    }
    EXPECT_EQ(reader.length, 511u);
    progress_reader_feed(&reader, "PROGRESS:1:1\n", 13, record, &reports);
    EXPECT_EQ(reader.length, 0u);
    EXPECT_TRUE(reports.empty());
}

TEST(ProgressLineReader, FinishHandlesTheLastLineOnce) {
    ProgressLineReader reader;
    progress_reader_init(&reader);
    Reports reports;
    progress_reader_feed(&reader, "PROGRESS:9:9", 12, record, &reports);
    EXPECT_TRUE(reports.empty());
    progress_reader_finish(&reader, record, &reports);
    progress_reader_finish(&reader, record, &reports);
    EXPECT_EQ(reports, (Reports{{9, 9}}));
}

TEST(ProgressLineReader, ParsesWithoutAHandler) {
    ProgressLineReader reader;
    progress_reader_init(&reader);
    progress_reader_feed(&reader, "PROGRESS:1:2\nPROGRESS:2:2", 25, nullptr, nullptr);
    progress_reader_finish(&reader, nullptr, nullptr);
    EXPECT_EQ(reader.length, 0u);
}

}  // namespace
