#include "net/url_filename.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace velda;

namespace {

struct NameCase {
    std::string url;
    std::string name;
};

std::string name_of(const std::string& url) {
    char out[kPathSize];
    std::memset(out, 'x', sizeof out);
    extract_filename_from_url(url.c_str(), out);
    return out;
}

void expect_names(const std::vector<NameCase>& cases) {
    for (const NameCase& c : cases) {
        EXPECT_EQ(name_of(c.url), c.name) << "url: " << c.url;
    }
}

TEST(ExtractFilenameFromUrl, TakesTheLastSegmentWithoutQuery) {
    expect_names({
        {"https://host/downloads/pkg-1.2.3.zip?t=5", "pkg-1.2.3.zip"},
        {"https://host/downloads/Velda.exe", "Velda.exe"},
        {"https://host:8443/a/b/c/changed.txt?x=1?y=2", "changed.txt"},
        {"pkg.zip", "pkg.zip"},
        {"pkg.zip?t=1", "pkg.zip"},
        {"/a.zip", "a.zip"},
    });
}

TEST(ExtractFilenameFromUrl, LastSlashOfTheWholeUrlCountsEvenInTheQuery) {
    expect_names({
        {"https://host/get?f=/a.zip", "a.zip"},
        {"https://host/get?f=/a.zip?v=2", "a.zip"},
        {"https://host/get?f=/", ""},
    });
}

TEST(ExtractFilenameFromUrl, KeepsEverythingElseAsItIs) {
    expect_names({
        {"https://host/a.zip#x", "a.zip#x"},
        {"https://host/my%20file.zip", "my%20file.zip"},
        {"https://host/%2e%2e", "%2e%2e"},
        {"https://host/.hidden", ".hidden"},
        {"https://host/caf\xc3\xa9.zip", "caf\xc3\xa9.zip"},
        {"https://host/a b.zip", "a b.zip"},
    });
}

TEST(ExtractFilenameFromUrl, GivesNoNameWhenTheSegmentIsEmpty) {
    expect_names({
        {"", ""},
        {"https://host/downloads/", ""},
        {"https://host/downloads/?t=5", ""},
        {"/", ""},
        {"?q", ""},
    });
}

TEST(ExtractFilenameFromUrl, RefusesNamesThatWouldNotStayInTheirFolder) {
    expect_names({
        {"https://host/.", ""},
        {"https://host/..", ""},
        {"https://host/..?t=1", ""},
        {"https://host/a\\b.zip", ""},
        {"https://host/..\\..\\evil.exe", ""},
        {"https://host/a.zip\\", ""},
    });
}

TEST(ExtractFilenameFromUrl, RefusesNamesWindowsWouldChange) {
    // Trailing dots and spaces are dropped by Windows: "..." would name the folder itself.
    expect_names({
        {"https://host/...", ""},
        {"https://host/a.zip.", ""},
        {"https://host/a.zip ", ""},
        {"https://host/a.zip .", ""},
        {"https://host/a..zip", "a..zip"},
        {"https://host/ a.zip", " a.zip"},
    });
}

TEST(ExtractFilenameFromUrl, RefusesDeviceNames) {
    expect_names({
        {"https://host/NUL", ""},
        {"https://host/nul.zip", ""},
        {"https://host/Con.txt?t=1", ""},
        {"https://host/aux", ""},
        {"https://host/PRN.tar.gz", ""},
        {"https://host/com1", ""},
        {"https://host/LPT9.exe", ""},
        {"https://host/nul .txt", ""},
        {"https://host/com0", "com0"},
        {"https://host/com10", "com10"},
        {"https://host/nullify.zip", "nullify.zip"},
        {"https://host/a.nul", "a.nul"},
        {"https://host/console.exe", "console.exe"},
    });
}

TEST(ExtractFilenameFromUrl, RefusesCharactersWindowsForbidsInNames) {
    for (char c : std::string("<>:\"|*")) {
        std::string url = std::string("https://host/a") + c + "b.zip";
        EXPECT_EQ(name_of(url), "") << "character " << static_cast<int>(c);
    }
    for (int c = 0x01; c <= 0x1F; ++c) {
        std::string url = std::string("https://host/a") + static_cast<char>(c) + "b.zip";
        EXPECT_EQ(name_of(url), "") << "control byte " << c;
    }
    // The byte after the control range and DEL are ordinary.
    expect_names({{"https://host/a b", "a b"}, {"https://host/a\x7f", "a\x7f"}});
}

TEST(ExtractFilenameFromUrl, CutsLongNamesTo259Bytes) {
    std::string segment(300, 'n');
    std::string name = name_of("https://host/d/" + segment + "?t=1");
    EXPECT_EQ(name, segment.substr(0, 259));

    std::string exact(259, 'e');
    EXPECT_EQ(name_of("https://host/" + exact), exact);
    EXPECT_EQ(name_of(exact + "z"), exact);
}

TEST(ExtractFilenameFromUrl, JudgesTheNameAfterTheCut) {
    // A forbidden byte past the 259th is cut away and does not refuse the name.
    std::string segment = std::string(259, 'k') + "*";
    EXPECT_EQ(name_of("https://host/" + segment), std::string(259, 'k'));
    std::string early = std::string(100, 'k') + "|" + std::string(200, 'k');
    EXPECT_EQ(name_of("https://host/" + early), "");
}

// The release tool reports the fault by kind, so the first one must be named, where it is.
TEST(FileNameFault, NamesTheFirstFaultAndItsByte) {
    const struct {
        std::string name;
        FileNameFault fault;
        size_t at;
    } cases[] = {
        {"Velda.exe", FileNameFault::None, 0},
        {"", FileNameFault::Empty, 0},
        {"a|b.", FileNameFault::ForbiddenByte, 1},
        {std::string("a\0b", 3), FileNameFault::ForbiddenByte, 1},
        {"name. ", FileNameFault::TrailingDotOrSpace, 0},
        {"Com7 .txt", FileNameFault::DeviceName, 0},
        {"com0", FileNameFault::None, 0},
    };
    for (const auto& c : cases) {
        size_t at = 0;
        EXPECT_EQ(file_name_fault(c.name, &at), c.fault) << c.name;
        EXPECT_EQ(at, c.at) << c.name;
    }
}

}  // namespace
