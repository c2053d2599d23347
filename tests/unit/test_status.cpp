#include <gtest/gtest.h>

#include <string>

#include "common/status.h"
#include "start/first_line.h"

using namespace velda;

namespace {

std::string detail_of(const Status& status, size_t size = 1024) {
    char line[1024] = {};
    bool has_line = format_status_detail(status, line, size);
    EXPECT_EQ(has_line, line[0] != '\0');
    return line;
}

TEST(StatusDetail, NamesTheStageTheReasonAndTheWin32Error) {
    const struct {
        const char* name;
        Status status;
        std::string expected;
    } cases[] = {
        {"success", Status::success(), ""},
        {"already written where it happened", Status::failure(StatusStage::Download, 5), ""},
        {"reason", Status::failure(StatusStage::Extraction, 0, "codigo %d", 1),
         "Fallo en descompresion: codigo 1"},
        {"Win32 error", Status::failure(StatusStage::VersionStamp, 5, "no se pudo escribir x"),
         "Fallo en sello de version: no se pudo escribir x (GetLastError=5)"},
        {"changed files", Status::failure(StatusStage::ChangedFiles, 0, "r"),
         "Fallo en archivos modificados: r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail_of(c.status), c.expected) << c.name;
        EXPECT_EQ(c.status.ok(), c.status.stage() == StatusStage::None) << c.name;
    }
}

TEST(StatusDetail, LongTextsAreCutToTheirBuffers) {
    std::string long_reason(2000, 'x');
    Status status = Status::failure(StatusStage::ChangedFiles, 0, "%s", long_reason.c_str());
    EXPECT_EQ(std::string(status.reason()), long_reason.substr(0, kStatusReasonSize - 1));
    EXPECT_EQ(detail_of(status, 16), "Fallo en archiv");
    char none[1] = {'z'};
    EXPECT_FALSE(format_status_detail(status, none, 0));
    EXPECT_EQ(none[0], 'z');
}

TEST(FirstLine, KeepsTheFirstLineOfTextFedInAnyChunks) {
    const struct {
        const char* name;
        std::string stream;
        std::string expected;
    } cases[] = {
        {"nothing", "", ""},
        {"one line", "Exception calling \"OpenRead\"\r\nat line 1\r\n",
         "Exception calling \"OpenRead\""},
        {"no line end", "disk full", "disk full"},
        {"blank lines first", "\r\n\n\r\nsecond\r\n", "second"},
        {"control bytes", "a\tb\x1b[0m\x7f", "a?b?[0m?"},
        {"overlong", std::string(300, 'e') + "\r\nnext", std::string(kFirstLineSize - 1, 'e')},
    };
    for (const auto& c : cases) {
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}}) {
            FirstLine line;
            for (size_t at = 0; at < c.stream.size(); at += chunk) {
                size_t count = std::min(chunk, c.stream.size() - at);
                line.feed(c.stream.data() + at, count);
            }
            EXPECT_EQ(std::string(line.text()), c.expected) << c.name << ", chunks of " << chunk;
        }
    }
}

}  // namespace
