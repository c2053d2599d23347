#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "install/download_journal.h"
#include "test_support.h"

using namespace velda;

namespace {

std::vector<std::string> g_deleted;

bool record_deletion(const char* path) {
    g_deleted.push_back(path);
    return std::remove(path) == 0;
}

TEST(DownloadJournal, SweepDeletesTheNotedFilesAndItself) {
    TempFolder folder;
    // Paths are formed with a backslash, as on Windows; natively that is part of one name.
    std::string install = folder.path().string();
    ASSERT_TRUE(journal_note(install.c_str(), "Velda-2.0.0.zip"));
    ASSERT_TRUE(journal_note(install.c_str(), "changes.txt"));
    std::FILE* journal = std::fopen((install + "\\velda.downloads").c_str(), "ab");
    ASSERT_NE(journal, nullptr);
    // Hand-made or damaged lines never reach outside the folder.
    std::fputs("..\n\nsub\\x\n../y\nC:z\n .\r\n", journal);
    std::fclose(journal);

    g_deleted.clear();
    journal_sweep(install.c_str(), record_deletion);
    const std::vector<std::string> expected = {
        install + "\\Velda-2.0.0.zip", install + "\\changes.txt", install + "\\velda.downloads"};
    EXPECT_EQ(g_deleted, expected);

    g_deleted.clear();
    journal_sweep(install.c_str(), record_deletion);
    EXPECT_TRUE(g_deleted.empty()) << "no journal, nothing to do";
}

TEST(DownloadJournal, PackageMarkOutlivesSweepsUntilTheInstallationIsFinished) {
    TempFolder folder;
    std::string install = folder.path().string();
    const std::string journal = install + "\\velda.downloads";
    EXPECT_FALSE(journal_package_installation_pending(install.c_str())) << "no journal";
    ASSERT_TRUE(journal_note(install.c_str(), "changes.txt"));
    EXPECT_FALSE(journal_package_installation_pending(install.c_str()));
    ASSERT_TRUE(journal_mark_package_installation(install.c_str()));
    ASSERT_TRUE(journal_note(install.c_str(), "Velda-2.0.0.zip"));
    EXPECT_TRUE(journal_package_installation_pending(install.c_str()));

    // Every sweep of a marked journal deletes the noted files, never the mark or the journal.
    for (int run = 0; run < 2; ++run) {
        g_deleted.clear();
        journal_sweep(install.c_str(), record_deletion);
        const std::vector<std::string> noted = {install + "\\changes.txt",
                                                install + "\\Velda-2.0.0.zip"};
        EXPECT_EQ(g_deleted, noted);
        EXPECT_TRUE(journal_package_installation_pending(install.c_str()));
    }

    g_deleted.clear();
    journal_finish_installation(install.c_str(), record_deletion);
    EXPECT_EQ(g_deleted.back(), journal);
    EXPECT_EQ(g_deleted.size(), 3u);
    EXPECT_FALSE(journal_package_installation_pending(install.c_str()));
}

TEST(DownloadJournal, LatestPartialRecordWinsAndSweepsNeverReadItAsNames) {
    TempFolder folder;
    std::string install = folder.path().string();
    JournalPartial record;
    EXPECT_FALSE(journal_last_partial(install.c_str(), &record)) << "no journal";
    ASSERT_TRUE(journal_mark_package_installation(install.c_str()));
    PartialDownload partial;
    partial.total = 67108864;
    std::strcpy(partial.validator, "\"v1\"");
    ASSERT_TRUE(journal_note_partial(install.c_str(), "Velda-2.0.0.zip",
                                     "https://host/p/Velda-2.0.0.zip", partial));
    // A validator with spaces, and a URL long enough to be cut by a name-sized read.
    std::strcpy(partial.validator, "Tue, 08 Dec 2026 10:00:00 GMT");
    partial.total = 5;
    std::string long_url = "https://host/" + std::string(600, 'a') + "/b c";
    ASSERT_TRUE(journal_note_partial(install.c_str(), "p.zip", long_url.c_str(), partial));
    EXPECT_FALSE(journal_note_partial(install.c_str(), "..\\x.zip", "https://h/x", partial));
    EXPECT_FALSE(journal_note_partial(install.c_str(), "x.zip", "https://h/\tx", partial));

    ASSERT_TRUE(journal_last_partial(install.c_str(), &record));
    EXPECT_STREQ(record.file_name, "p.zip");
    EXPECT_EQ(record.url, long_url);
    EXPECT_STREQ(record.partial.validator, "Tue, 08 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(record.partial.total, 5u);

    g_deleted.clear();
    journal_sweep(install.c_str(), record_deletion);
    EXPECT_TRUE(g_deleted.empty()) << g_deleted.front();
    EXPECT_TRUE(journal_last_partial(install.c_str(), &record)) << "the mark keeps the record";
    journal_finish_installation(install.c_str(), record_deletion);
    EXPECT_FALSE(journal_last_partial(install.c_str(), &record));
}

}  // namespace
