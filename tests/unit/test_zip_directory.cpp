#include "install/zip_directory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "zip_builder.h"

using namespace velda;

namespace {

using zip_builder::build_zip;
using zip_builder::Entry;
using zip_builder::Layout;
using zip_builder::poke;

// The package bytes at offset base of a source; what lies before them reads as zeros.
struct Package {
    std::string bytes;
    uint64_t base = 0;
};

bool read_package(void* context, uint64_t offset, void* out, size_t length) {
    const Package* package = static_cast<const Package*>(context);
    unsigned char* to = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < length; ++i) {
        uint64_t at = offset + i;
        if (at < package->base) {
            to[i] = 0;
        } else if (at - package->base < package->bytes.size()) {
            to[i] = static_cast<unsigned char>(package->bytes[at - package->base]);
        } else {
            return false;
        }
    }
    return true;
}

struct Verdict {
    ZipCheck check;
    std::string bad_name;
};

Verdict check(const std::string& bytes, uint64_t base = 0, size_t name_size = 256) {
    Package package{bytes, base};
    ZipSource source{base + bytes.size(), read_package, &package};
    std::vector<char> name(name_size, 'x');
    ZipCheck result = check_zip_source(source, name.data(), name.size());
    return {result, name.empty() ? std::string() : std::string(name.data())};
}

const std::vector<Entry> kFinePackage = {
    {"Velda.exe", "MZ velda", ""},
    {"Run-Velda.bat", "@echo off", ""},
    {"bin/", "", ""},
    {"bin/plugins/", "", ""},
    {"bin/plugins/render.dll", "dll", ""},
    {"data\\maps\\start.map", "map", ""},
    {"caf\xc3\xa9 menu.txt", "menu", ""},
};

// ---- The name rule ----

struct NameCase {
    std::string name;
    bool safe;
};

void expect_names(const std::vector<NameCase>& cases) {
    for (const NameCase& c : cases) {
        EXPECT_EQ(zip_entry_name_is_safe(c.name.data(), c.name.size()), c.safe)
            << "name: \"" << c.name << "\"";
    }
}

TEST(ZipEntryName, NamesInsideTheFolderAreSafe) {
    expect_names({
        {"Velda.exe", true},
        {"bin/plugins/render.dll", true},
        {"bin\\plugins\\render.dll", true},
        {"bin/plugins/", true},
        {"./Velda.exe", true},
        {"bin//double/slash", true},
        {"a/./b", true},
        {".hidden", true},
        {"a..b", true},
        {"..a", true},
        {"a..", true},
        {"notes. txt", true},
        {"caf\xc3\xa9 menu.txt", true},
    });
}

TEST(ZipEntryName, ParentSegmentsWithEitherSeparatorAreRefused) {
    expect_names({
        {"..", false},
        {"../x", false},
        {"..\\x", false},
        {"a/../../x", false},
        {"a\\..\\..\\x", false},
        {"a/..\\..\\x", false},
        {"a/..", false},
        {"a/../b", false},  // stays inside, but no package needs it
        {"../", false},
    });
}

TEST(ZipEntryName, DotsAndBlanksThatWindowsReadsAsParentAreRefused) {
    expect_names({
        {"...", false},
        {"a/.../b", false},
        {".. /x", false},
        {"a/. ./x", false},
        {" ../x", false},
        {"a/.. ", false},
    });
}

TEST(ZipEntryName, RootedDriveAndUncNamesAreRefused) {
    expect_names({
        {"/abs", false},
        {"\\abs", false},
        {"/", false},
        {"C:/x", false},
        {"C:\\x", false},
        {"C:x", false},
        {"c:", false},
        {"\\\\server\\share\\x", false},
        {"//server/share/x", false},
        {"\\\\?\\C:\\x", false},
        {"Velda.exe:stream", false},
        {"bin/a:b", false},
    });
}

TEST(ZipEntryName, EmptyNamesAndControlBytesAreRefused) {
    expect_names({
        {"", false},
        {".", false},
        {"./", false},
        {"./.", false},
        {" ", false},
        {std::string("a\0/../../x", 10), false},
        {"a\x01"
         "b",
         false},
        {"a\tb", false},
        {"a\nb", false},
    });
}

// ---- Packages ----

TEST(ZipDirectory, FinePackagesAreSafe) {
    EXPECT_EQ(check(build_zip(kFinePackage)).check, ZipCheck::Safe);
    EXPECT_EQ(check(build_zip(kFinePackage, {false, "release 1.4.2", 0})).check, ZipCheck::Safe);
    EXPECT_EQ(check(build_zip(kFinePackage, {true, "", 0})).check, ZipCheck::Safe);
    EXPECT_EQ(check(build_zip(kFinePackage, {true, "zip64 with comment", 0})).check,
              ZipCheck::Safe);
    EXPECT_EQ(check(build_zip({})).check, ZipCheck::Safe);
    std::string longest_comment(0xFFFF, 'c');
    EXPECT_EQ(check(build_zip(kFinePackage, {false, longest_comment, 0})).check, ZipCheck::Safe);
}

TEST(ZipDirectory, OneEscapingEntryRefusesThePackageAndIsNamed) {
    const char* const escaping[] = {
        "../x",    "..\\x", "a/../../x",     "/abs", "\\abs", "C:/x", "C:x", "\\\\server\\share\\x",
        "a/.. /x", "",      "Velda.exe:ads",
    };
    for (bool zip64 : {false, true}) {
        for (const char* name : escaping) {
            std::vector<Entry> entries = kFinePackage;
            entries.insert(entries.begin() + 3, {name, "outside", ""});
            Verdict verdict = check(build_zip(entries, {zip64, "comment", 0}));
            EXPECT_EQ(verdict.check, ZipCheck::Unsafe) << name << (zip64 ? " zip64" : "");
            EXPECT_EQ(verdict.bad_name, name) << (zip64 ? " zip64" : "");
        }
    }
}

TEST(ZipDirectory, TheFirstBadNameIsReportedCutToItsBuffer) {
    std::vector<Entry> entries = {
        {"ok.txt", "1", ""}, {"../first/escape.txt", "2", ""}, {"../second.txt", "3", ""}};
    EXPECT_EQ(check(build_zip(entries)).bad_name, "../first/escape.txt");
    Verdict cut = check(build_zip(entries), 0, 8);
    EXPECT_EQ(cut.check, ZipCheck::Unsafe);
    EXPECT_EQ(cut.bad_name, "../firs");
    EXPECT_EQ(check(build_zip(entries), 0, 1).bad_name, "");

    Package package{build_zip(entries), 0};
    ZipSource source{package.bytes.size(), read_package, &package};
    EXPECT_EQ(check_zip_source(source, nullptr, 0), ZipCheck::Unsafe);
}

TEST(ZipDirectory, ControlBytesOfABadNameAreShownAsQuestionMarks) {
    Verdict verdict = check(build_zip({{"x\r\n[launcher] Version local al dia.\x7f", "1", ""}}));
    EXPECT_EQ(verdict.check, ZipCheck::Unsafe);
    EXPECT_EQ(verdict.bad_name, "x??[launcher] Version local al dia.?");
}

TEST(ZipDirectory, AnEscapingUnicodePathRefusesThePackage) {
    Verdict verdict = check(build_zip({{"ok.txt", "1", "../bad.txt"}}));
    EXPECT_EQ(verdict.check, ZipCheck::Unsafe);
    EXPECT_EQ(verdict.bad_name, "../bad.txt");
    EXPECT_EQ(check(build_zip({{"ok.txt", "1", "caf\xc3\xa9.txt"}})).check, ZipCheck::Safe);
}

TEST(ZipDirectory, DirectoriesBeyondFourGibibytesAreFoundThroughZip64) {
    const uint64_t base = 5ull << 30;
    EXPECT_EQ(check(build_zip(kFinePackage, {true, "", base}), base).check, ZipCheck::Safe);
    std::vector<Entry> entries = kFinePackage;
    entries.push_back({"../late.txt", "x", ""});
    Verdict verdict = check(build_zip(entries, {true, "", base}), base);
    EXPECT_EQ(verdict.check, ZipCheck::Unsafe);
    EXPECT_EQ(verdict.bad_name, "../late.txt");
}

// The listing walks what the check walks, but reports unsafe names instead of stopping there.
TEST(ZipDirectory, ListsEveryEntryWithItsZip64Values) {
    const uint64_t base = 5ull << 30;
    std::vector<Entry> entries = {{"a.txt", "12345", ""}, {"../b.txt", "xy", ""}};
    for (bool zip64 : {false, true}) {
        Package package{build_zip(entries, {zip64, "", zip64 ? base : 0}), zip64 ? base : 0};
        ZipSource source{package.base + package.bytes.size(), read_package, &package};
        std::vector<ZipEntryRecord> listed;
        auto collect = [](const ZipEntryRecord& record, void* context) {
            static_cast<std::vector<ZipEntryRecord>*>(context)->push_back(record);
            return true;
        };
        ASSERT_TRUE(list_zip_source(source, collect, &listed)) << zip64;
        ASSERT_EQ(listed.size(), 2u);
        uint64_t local = package.base;
        for (size_t i = 0; i < 2; ++i) {
            std::string name =
                package.bytes.substr(listed[i].name_offset - package.base, listed[i].name_length);
            EXPECT_EQ(name, entries[i].name);
            EXPECT_EQ(listed[i].uncompressed_size, entries[i].data.size());
            EXPECT_EQ(listed[i].compressed_size, entries[i].data.size());
            EXPECT_EQ(listed[i].local_header_offset, local);
            local += 30 + entries[i].name.size() + entries[i].data.size();
        }
        package.bytes.resize(package.bytes.size() - 1);
        source.size -= 1;
        EXPECT_FALSE(list_zip_source(source, collect, &listed)) << zip64;
    }
}

// ---- Directories the extractor would read otherwise, or not at all ----

size_t end_record(const std::string& bytes, size_t comment_length = 0) {
    return bytes.size() - 22 - comment_length;
}

TEST(ZipDirectory, EveryTruncationIsMalformed) {
    for (bool zip64 : {false, true}) {
        std::string whole = build_zip(kFinePackage, {zip64, "note", 0});
        for (size_t length = 0; length < whole.size(); ++length) {
            ASSERT_EQ(check(whole.substr(0, length)).check, ZipCheck::Malformed)
                << "cut at " << length << (zip64 ? " zip64" : "");
        }
    }
}

TEST(ZipDirectory, ThingsThatAreNoPackageAreMalformed) {
    EXPECT_EQ(check("").check, ZipCheck::Malformed);
    EXPECT_EQ(check("not a zip at all, just some text that is long enough").check,
              ZipCheck::Malformed);
    EXPECT_EQ(check(std::string(100000, '\0')).check, ZipCheck::Malformed);
    // An end record more than a maximal comment away from the end is not looked for.
    EXPECT_EQ(check(build_zip(kFinePackage) + std::string(0x10000, 'x')).check,
              ZipCheck::Malformed);
}

TEST(ZipDirectory, BytesAfterTheCommentAreMalformed) {
    EXPECT_EQ(check(build_zip(kFinePackage) + "x").check, ZipCheck::Malformed);
    EXPECT_EQ(check(build_zip(kFinePackage, {false, "abc", 0}) + "x").check, ZipCheck::Malformed);
}

TEST(ZipDirectory, AnEndSignatureInTheCommentIsTheOneTaken) {
    // The extractor takes the signature nearest the end; this one's comment length is wrong.
    std::string comment = std::string("PK\x05\x06", 4) + std::string(18, '\0') + "tail";
    EXPECT_EQ(check(build_zip(kFinePackage, {false, comment, 0})).check, ZipCheck::Malformed);
}

TEST(ZipDirectory, CountsAndSizesThatDisagreeAreMalformed) {
    const std::string good = build_zip(kFinePackage);
    const size_t end = end_record(good);
    struct Patch {
        const char* what;
        size_t field;
        uint64_t value;
        int width;
    };
    const Patch patches[] = {
        {"one entry more", 10, kFinePackage.size() + 1, 2},
        {"one entry less", 10, kFinePackage.size() - 1, 2},
        {"entries on this disk differ", 8, kFinePackage.size() - 1, 2},
        {"directory one byte longer", 12, 0, 0},
        {"directory offset beyond the end record", 16, end + 1, 4},
        {"directory offset one byte late", 16, 0, 0},
        {"split archive", 4, 1, 2},
        {"saturated count without ZIP64", 10, 0xFFFF, 2},
        {"saturated offset without ZIP64", 16, 0xFFFFFFFF, 4},
    };
    for (const Patch& patch : patches) {
        std::string bytes = good;
        uint64_t value = patch.value;
        int width = patch.width;
        if (width == 0) {
            width = 4;
            value = static_cast<unsigned char>(bytes[end + patch.field]) +
                    (static_cast<unsigned char>(bytes[end + patch.field + 1]) << 8) + 1;
        }
        poke(&bytes, end + patch.field, value, width);
        EXPECT_EQ(check(bytes).check, ZipCheck::Malformed) << patch.what;
    }
    // The extractor reads headers while they follow each other, so a count that stops short of
    // the directory's end would hide the headers after it.
    std::string fewer = good;
    poke(&fewer, end + 8, kFinePackage.size() - 1, 2);
    poke(&fewer, end + 10, kFinePackage.size() - 1, 2);
    EXPECT_EQ(check(fewer).check, ZipCheck::Malformed) << "a header left after the count";
}

TEST(ZipDirectory, BrokenHeadersAreMalformed) {
    std::string bytes = build_zip(kFinePackage);
    size_t directory = bytes.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(directory, std::string::npos);

    std::string bad_signature = bytes;
    bad_signature[directory + 3] = 0x03;
    EXPECT_EQ(check(bad_signature).check, ZipCheck::Malformed);

    std::string long_name = bytes;
    poke(&long_name, directory + 28, 0xFFFF, 2);
    EXPECT_EQ(check(long_name).check, ZipCheck::Malformed);

    std::string data_after_directory = bytes;
    poke(&data_after_directory, directory + 42, directory, 4);
    EXPECT_EQ(check(data_after_directory).check, ZipCheck::Malformed);
}

TEST(ZipDirectory, Zip64RecordsThatDisagreeOrAreMissingAreMalformed) {
    const std::string good = build_zip(kFinePackage, {true, "", 0});
    const size_t end = end_record(good);
    const size_t locator = end - 20;
    const size_t record = locator - 56;

    std::string no_record = good;
    poke(&no_record, record, 0x12345678, 4);
    EXPECT_EQ(check(no_record).check, ZipCheck::Malformed);

    std::string record_beyond = good;
    poke(&record_beyond, locator + 8, locator, 8);
    EXPECT_EQ(check(record_beyond).check, ZipCheck::Malformed);

    // A reader that trusts the classic record where it is not saturated would see 6 entries.
    std::string narrow_disagrees = good;
    poke(&narrow_disagrees, end + 10, kFinePackage.size() - 1, 2);
    EXPECT_EQ(check(narrow_disagrees).check, ZipCheck::Malformed);

    std::string wide_count_wrong = good;
    poke(&wide_count_wrong, record + 32, kFinePackage.size() + 1, 8);
    poke(&wide_count_wrong, record + 24, kFinePackage.size() + 1, 8);
    EXPECT_EQ(check(wide_count_wrong).check, ZipCheck::Malformed);

    std::string huge_count = good;
    poke(&huge_count, record + 32, ~0ull, 8);
    poke(&huge_count, record + 24, ~0ull, 8);
    EXPECT_EQ(check(huge_count).check, ZipCheck::Malformed);

    // The offset is saturated in the header, so its ZIP64 value is needed.
    std::string no_extra = good;
    size_t directory = no_extra.find(std::string("PK\x01\x02", 4));
    poke(&no_extra, directory + 46 + kFinePackage[0].name.size(), 0x9999, 2);
    EXPECT_EQ(check(no_extra).check, ZipCheck::Malformed);
}

TEST(ZipDirectory, LocatorBytesAtTheEndOfTheLastHeaderAreData) {
    // With a 12-byte name, the last header's external attributes lie right where a ZIP64 locator
    // would; no field of the end record is saturated, so the extractor never reads one there.
    std::string bytes = build_zip({{"Velda.exe.12", "data", ""}});
    const size_t header = bytes.find(std::string("PK\x01\x02", 4));
    poke(&bytes, header + 38, 0x07064b50, 4);
    ASSERT_EQ(bytes.substr(end_record(bytes) - 20, 4), std::string("PK\x06\x07", 4));
    EXPECT_EQ(check(bytes).check, ZipCheck::Safe);

    std::string saturated = bytes;
    poke(&saturated, end_record(saturated) + 10, 0xFFFF, 2);
    EXPECT_EQ(check(saturated).check, ZipCheck::Malformed);

    // Found by fuzzing: the same bytes in a name, whose control bytes make it unsafe.
    const std::string name = std::string("x/PK\x06\x07", 6) + "0123456789abcdef";
    Verdict verdict = check(build_zip({{name, "data", ""}}));
    EXPECT_EQ(verdict.check, ZipCheck::Unsafe);
    EXPECT_EQ(verdict.bad_name, "x/PK??0123456789abcdef");
}

TEST(ZipDirectory, ReadsFromAFile) {
    TempFolder folder;
    std::string fine = folder.write("fine.zip", build_zip(kFinePackage, {true, "c", 0}));
    std::string evil = folder.write("evil.zip", build_zip({{"a/../../x", "x", ""}}));
    char name[64];
    EXPECT_EQ(check_zip_file(fine.c_str(), name, sizeof(name)), ZipCheck::Safe);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(check_zip_file(evil.c_str(), name, sizeof(name)), ZipCheck::Unsafe);
    EXPECT_STREQ(name, "a/../../x");
    EXPECT_EQ(check_zip_file(folder.file("missing.zip").c_str(), name, sizeof(name)),
              ZipCheck::Malformed);

    std::FILE* file = std::fopen(evil.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(check_zip_entries(file, name, sizeof(name)), ZipCheck::Unsafe);
    std::fclose(file);
    EXPECT_EQ(check_zip_entries(nullptr, name, sizeof(name)), ZipCheck::Malformed);
}

}  // namespace
