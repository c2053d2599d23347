#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "status_window/status_window_text.h"

using namespace velda;

namespace {

TEST(StatusWindowTr, TableInBothLanguages) {
    struct Row {
        const char* key;
        const char* spanish;
        const char* english;
    };
    const Row rows[] = {
        {"title", "Velda Launcher", "Velda Launcher"},
        {"installed", "Version instalada", "Installed version"},
        {"server", "Version servidor", "Server version"},
        {"none", "ninguna", "none"},
        {"downloading", "Descargando archivos necesarios.", "Downloading required files."},
        {"extracting", "Descomprimiendo archivos de actualizacion.", "Extracting update files."},
        {"starting", "Iniciando Velda.", "Starting Velda."},
        {"updating_launcher", "Actualizando el lanzador...", "Updating the launcher..."},
        {"ready", "Listo.", "Ready."},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(status_window_tr(1, row.key), row.spanish) << row.key;
        EXPECT_STREQ(status_window_tr(7, row.key), row.spanish) << "any non-zero flag is Spanish";
        EXPECT_STREQ(status_window_tr(0, row.key), row.english) << row.key;
    }
}

TEST(StatusWindowTr, UnknownKeysGiveTheEmptyText) {
    for (const char* key : {"Ready", "TITLE", "", "ready ", "readyx", "rea"}) {
        const char* text = status_window_tr(0, key);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "") << key;
    }
}

StatusWindowRecord record_with(int spanish, const char* installed, const char* server,
                               const char* message) {
    StatusWindowRecord record;
    std::memset(&record, 0, sizeof(record));
    record.spanish = spanish;
    status_window_store_versions(&record, installed, server);
    status_window_store_message(&record, message);
    return record;
}

std::string text_of(const StatusWindowRecord& record) {
    char out[kStatusWindowTextSize];
    format_status_window_text(record, out);
    return out;
}

TEST(StatusWindowText, FourLinesInEachLanguage) {
    EXPECT_EQ(text_of(record_with(0, "", "", "Ready.")),
              "Installed version: none\r\nServer version: -\r\n\r\nReady.");
    EXPECT_EQ(text_of(record_with(1, "", "", "Listo.")),
              "Version instalada: ninguna\r\nVersion servidor: -\r\n\r\nListo.");
    EXPECT_EQ(text_of(record_with(0, "1.2.3", "1.3.0", "Starting Velda.")),
              "Installed version: 1.2.3\r\nServer version: 1.3.0\r\n\r\nStarting Velda.");
}

TEST(StatusWindowText, FieldsAreCutToTheirSize) {
    std::string long_version(100, 'v');
    std::string long_message(300, 'm');
    StatusWindowRecord record =
        record_with(0, long_version.c_str(), long_version.c_str(), long_message.c_str());
    EXPECT_EQ(std::string(record.installed_version), std::string(63, 'v'));
    EXPECT_EQ(std::string(record.server_version), std::string(63, 'v'));
    EXPECT_EQ(std::string(record.message), std::string(255, 'm'));
}

std::string download_line(int spanish, uint32_t done, uint32_t total) {
    char out[kProgressLineSize];
    format_download_progress(spanish, done, total, out);
    return out;
}

std::string extract_line(int spanish, uint32_t done, uint32_t total) {
    char out[kProgressLineSize];
    format_extract_progress(spanish, done, total, out);
    return out;
}

TEST(ProgressLines, Download) {
    EXPECT_EQ(download_line(0, 5242880, 10485760),
              "Downloading required files. 50% (5.0 MB / 10.0 MB)");
    EXPECT_EQ(download_line(0, 1572864, 0), "Downloading required files. 1.5 MB");
    EXPECT_EQ(download_line(1, 0, 0), "Descargando archivos necesarios. 0.0 MB");
    EXPECT_EQ(download_line(0, 12582912, 10485760),
              "Downloading required files. 100% (12.0 MB / 10.0 MB)");
    // 64-bit arithmetic: no overflow of done * 100.
    EXPECT_EQ(download_line(0, 4294967295u, 4294967295u),
              "Downloading required files. 100% (4096.0 MB / 4096.0 MB)");
    EXPECT_EQ(download_line(0, 2147483648u, 4294967295u),
              "Downloading required files. 50% (2048.0 MB / 4096.0 MB)");
    EXPECT_EQ(download_line(0, 1, 3), "Downloading required files. 33% (0.0 MB / 0.0 MB)");
}

TEST(ProgressLines, Extract) {
    EXPECT_EQ(extract_line(1, 0, 1), "Descomprimiendo archivos de actualizacion. 0% (0/1)");
    EXPECT_EQ(extract_line(0, 0, 0), "Extracting update files. 0% (0/1)");
    EXPECT_EQ(extract_line(0, 3, 0), "Extracting update files. 100% (3/1)");
    EXPECT_EQ(extract_line(0, 3, 10), "Extracting update files. 30% (3/10)");
    EXPECT_EQ(extract_line(0, 4294967295u, 4294967295u),
              "Extracting update files. 100% (4294967295/4294967295)");
}

uint64_t g_now = 0;
int g_clock_reads = 0;
uint64_t fake_clock() {
    ++g_clock_reads;
    return g_now;
}

class Throttle : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&record_, 0, sizeof(record_));
        context_ = {&record_, 0, 0, 0};
        g_now = 1000000;
        g_clock_reads = 0;
    }
    bool report(uint64_t now, uint32_t done, uint32_t total) {
        g_now = now;
        return download_progress_should_show(&context_, done, total, fake_clock);
    }
    StatusWindowRecord record_;
    DownloadProgressContext context_;
};

TEST_F(Throttle, FirstReportIsShown) {
    EXPECT_TRUE(report(1000000, 0, 100));
    EXPECT_EQ(context_.last_tick_ms, 1000000u);
    EXPECT_EQ(context_.last_percent, 0u);
}

TEST_F(Throttle, SamePercentWithin120MsIsDropped) {
    ASSERT_TRUE(report(5000, 50, 100));
    EXPECT_FALSE(report(5050, 50, 100));
    EXPECT_FALSE(report(5119, 50, 100));
    EXPECT_TRUE(report(5120, 50, 100));
}

TEST_F(Throttle, PercentChangeIsShownAtOnce) {
    ASSERT_TRUE(report(5000, 50, 100));
    EXPECT_TRUE(report(5001, 51, 100));
    EXPECT_EQ(context_.last_percent, 51u);
}

TEST_F(Throttle, CompletionIsAlwaysShown) {
    ASSERT_TRUE(report(5000, 999, 1000));  // 99%
    EXPECT_TRUE(report(5001, 1000, 1000));
    EXPECT_TRUE(report(5002, 1000, 1000));
    ASSERT_TRUE(report(6000, 1500, 1000));
    EXPECT_TRUE(report(6001, 1600, 1000)) << "past the total counts as reaching it";
}

TEST_F(Throttle, UnknownTotalShowsAtMostEvery120Ms) {
    ASSERT_TRUE(report(5000, 10, 0));
    EXPECT_FALSE(report(5050, 20, 0));
    EXPECT_FALSE(report(5100, 30, 0));
    EXPECT_TRUE(report(5120, 40, 0));
    EXPECT_EQ(context_.last_percent, 0u);
}

TEST_F(Throttle, StateCarriesIntoTheNextDownload) {
    ASSERT_TRUE(report(5000, 100, 100));
    EXPECT_EQ(context_.last_percent, 100u);
    EXPECT_TRUE(report(5001, 0, 200)) << "0% differs from the 100% shown last";
}

TEST_F(Throttle, NoRecordOrNoContextReadsNoClock) {
    context_.record = nullptr;
    EXPECT_FALSE(report(5000, 1, 2));
    EXPECT_FALSE(download_progress_should_show(nullptr, 1, 2, fake_clock));
    EXPECT_EQ(g_clock_reads, 0);
}

TEST_F(Throttle, ClockBelowTheLastTickDoesNotWrapIntoAShow) {
    // The difference is unsigned: a clock that went back counts as a long time.
    ASSERT_TRUE(report(5000, 50, 100));
    EXPECT_TRUE(report(4000, 50, 100));
}

}  // namespace
