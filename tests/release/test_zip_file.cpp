#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tree_files.h"
#include "zip_file.h"

using namespace velda;

namespace {

struct DosCase {
    int64_t unix_seconds;
    uint16_t date;
    uint16_t time;
};

TEST(DosTime, ConvertsAndClamps) {
    const DosCase cases[] = {
        {315532800, (0 << 9) | (1 << 5) | 1, 0},  // 1980-01-01 00:00:00
        {0, (0 << 9) | (1 << 5) | 1, 0},          // before 1980
        {1700000000, (43 << 9) | (11 << 5) | 14,
         (22 << 11) | (13 << 5) | 10},  // 2023-11-14 22:13:20
        {951782400 + 59, (20 << 9) | (2 << 5) | 29,
         (0 << 11) | (0 << 5) | 29},  // 2000-02-29 00:00:59
        {9999999999, (127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29},  // after 2107
    };
    for (const DosCase& c : cases) {
        DosTime t = dos_time_from_unix(c.unix_seconds);
        EXPECT_EQ(t.date, c.date) << c.unix_seconds;
        EXPECT_EQ(t.time, c.time) << c.unix_seconds;
    }
}

std::string archive_of(const TempFolder& folder,
                       const std::vector<std::pair<std::string, std::string>>& items) {
    std::string path = folder.file("out.zip");
    ZipWriter zip;
    EXPECT_TRUE(zip.open(path));
    DosTime when = dos_time_from_unix(1700000000);
    for (const auto& [name, bytes] : items) {
        bool ok =
            name.back() == '/' ? zip.add_directory(name, when) : zip.add_file(name, bytes, when);
        EXPECT_TRUE(ok) << name << ": " << zip.error();
    }
    EXPECT_TRUE(zip.finish()) << zip.error();
    std::string archive;
    EXPECT_TRUE(read_file_bytes(path, &archive));
    return archive;
}

TEST(ZipWriter, EntriesReadBackWithTheirBytes) {
    TempFolder folder;
    std::string big;
    for (int i = 0; i < 200000; ++i) {
        big += static_cast<char>((i * 7919) % 251);
    }
    const std::vector<std::pair<std::string, std::string>> items = {
        {
            "Velda.exe",
            "MZ\x90\0binary\0",
        },
        {"data/", ""},
        {"data/empty.txt", ""},
        {"data/with space.txt", std::string(10000, 'x')},
        {"data/big.bin", big},
        {"caf\xC3\xA9/", ""},
    };
    std::string archive = archive_of(folder, items);
    std::vector<ZipEntryInfo> entries;
    std::string error;
    ASSERT_TRUE(read_zip_directory(archive, &entries, &error)) << error;
    ASSERT_EQ(entries.size(), items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const ZipEntryInfo& e = entries[i];
        EXPECT_EQ(e.name, items[i].first);
        bool directory = e.name.back() == '/';
        EXPECT_EQ(e.method, directory ? 0 : 8) << e.name;
        EXPECT_EQ(e.external_attributes, directory ? 0x10u : 0x20u) << e.name;
        EXPECT_EQ((e.flags & 0x0800) != 0, e.name.find('\xC3') != std::string::npos) << e.name;
        std::string bytes;
        ASSERT_TRUE(read_zip_entry(archive, e, &bytes, &error)) << error;
        EXPECT_EQ(bytes, items[i].second) << e.name;
    }
    EXPECT_LT(entries[3].compressed_size, 200u);  // deflate did its work
}

TEST(ZipWriter, RefusesBadNamesAndACorruptArchiveIsCaught) {
    TempFolder folder;
    ZipWriter zip;
    ASSERT_TRUE(zip.open(folder.file("x.zip")));
    DosTime when{};
    EXPECT_FALSE(zip.add_directory("nodir", when));
    ZipWriter other;
    ASSERT_TRUE(other.open(folder.file("y.zip")));
    EXPECT_FALSE(other.add_file("dir/", "x", when));

    std::string archive = archive_of(folder, {{"a.txt", std::string(5000, 'a')}});
    std::vector<ZipEntryInfo> entries;
    std::string error;
    ASSERT_TRUE(read_zip_directory(archive, &entries, &error));
    archive[40] ^= 0x55;  // inside the deflated data
    std::string bytes;
    EXPECT_FALSE(read_zip_entry(archive, entries[0], &bytes, &error));
    EXPECT_FALSE(read_zip_directory("not a zip at all, just text", &entries, &error));
    EXPECT_FALSE(read_zip_directory(archive.substr(0, archive.size() - 10), &entries, &error));
}

TEST(ZipWriter, CannotOpenAMissingFolder) {
    TempFolder folder;
    ZipWriter zip;
    EXPECT_FALSE(zip.open(folder.file("missing/x.zip")));
    EXPECT_FALSE(zip.error().empty());
}

TEST(TreeFiles, ScanSortsAndRefusesLinks) {
    TempFolder folder;
    folder.write("p/b.txt", "b");
    folder.write("p/a/x.txt", "x");
    folder.write("p/a b.txt", "s");
    std::vector<TreeEntry> entries;
    std::string error;
    ASSERT_TRUE(scan_tree(folder.path() / "p", &entries, &error)) << error;
    std::vector<std::string> paths;
    for (const TreeEntry& e : entries) {
        paths.push_back(e.path + (e.is_directory ? "/" : ""));
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"a/", "a b.txt", "a/x.txt", "b.txt"}));
    std::error_code ec;
    std::filesystem::create_symlink(folder.file("p/b.txt"), folder.file("p/link"), ec);
    if (ec) {
        return;  // no symbolic links here (Wine)
    }
    EXPECT_FALSE(scan_tree(folder.path() / "p", &entries, &error));
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
}

TEST(TreeFiles, SameBytesComparesContentNotJustSize) {
    TempFolder folder;
    std::string a = folder.write("a", std::string(100000, 'x') + "1");
    std::string b = folder.write("b", std::string(100000, 'x') + "2");
    std::string c = folder.write("c", std::string(100000, 'x') + "1");
    std::string d = folder.write("d", "short");
    EXPECT_FALSE(files_have_same_bytes(a, b));
    EXPECT_TRUE(files_have_same_bytes(a, c));
    EXPECT_FALSE(files_have_same_bytes(a, d));
    EXPECT_FALSE(files_have_same_bytes(a, folder.file("missing")));
}

}  // namespace
