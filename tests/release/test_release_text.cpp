#include <gtest/gtest.h>

#include <string>

#include "release_layout.h"
#include "release_text.h"

using namespace velda;

namespace {

struct ServerCase {
    const char* text;
    const char* clean;  // null: refused
};

TEST(ServerBase, IsSchemeHostAndPortOnly) {
    const ServerCase cases[] = {
        {"https://downloads.example.com", "https://downloads.example.com"},
        {"https://localhost:48443/", "https://localhost:48443"},
        {"http://h//", "http://h"},
        {"HTTPS://H", "HTTPS://H"},
        {"https://h/prefix", nullptr},
        {"https://h?x", nullptr},
        {"https://", nullptr},
        {"ftp://h", nullptr},
        {"h", nullptr},
        {"https://h\"x", nullptr},
        {"https://h x", nullptr},
    };
    for (const ServerCase& c : cases) {
        std::string clean;
        std::string why;
        bool ok = clean_server_base(c.text, &clean, &why);
        EXPECT_EQ(ok, c.clean != nullptr) << c.text;
        if (ok && c.clean != nullptr) {
            EXPECT_EQ(clean, c.clean);
        }
    }
}

struct PathCase {
    const char* url;
    const char* path;
};

TEST(UrlRequestPath, IsWhatAServerLooksUp) {
    const PathCase cases[] = {
        {"https://h/downloads/latest.json", "/downloads/latest.json"},
        {"https://h:1/a%20b/c.txt?t=1", "/a b/c.txt"},
        {"http://h/a#frag", "/a"},
        {"https://h/a%5Cb", "/a\\b"},
        {"https://h/bad%zz%4", "/bad%zz%4"},
        {"https://h", ""},
        {"https://h?x=/y", ""},
        {"files/x", ""},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(url_request_path(c.url), c.path) << c.url;
    }
}

TEST(EncodeUrlForRequest, EncodesWhatWinHttpEncodes) {
    EXPECT_EQ(encode_url_for_request("https://h/a b\\c.txt"), "https://h/a%20b%5Cc.txt");
    EXPECT_EQ(encode_url_for_request("https://h/caf\xC3\xA9?q=1&r=%41"),
              "https://h/caf%C3%A9?q=1&r=%41");
    EXPECT_EQ(encode_url_for_request("https://h/{x}|\"<>^`"),
              "https://h/%7Bx%7D%7C%22%3C%3E%5E%60");
}

TEST(RawSafeValues, RefuseQuotesBackslashesAndControlBytes) {
    std::string why;
    EXPECT_TRUE(value_is_raw_safe("https://h/a b/caf\xC3\xA9.zip", &why));
    EXPECT_FALSE(value_is_raw_safe("a\"b", &why));
    EXPECT_EQ(why, "holds a double quote at byte 2");
    EXPECT_FALSE(value_is_raw_safe("a\\/b", &why));
    EXPECT_EQ(why, "holds a backslash at byte 2");
    EXPECT_FALSE(value_is_raw_safe("a\nb", &why));
    EXPECT_FALSE(value_is_raw_safe(std::string("a\0b", 3), &why));
    EXPECT_FALSE(value_is_raw_safe("a\x7F", &why));
}

TEST(DescribeOffset, CountsLinesAndColumnsFromOne) {
    const std::string text = "ab\ncd\n\nef";
    EXPECT_EQ(describe_offset(text, 0), "line 1, column 1");
    EXPECT_EQ(describe_offset(text, 4), "line 2, column 2");
    EXPECT_EQ(describe_offset(text, 7), "line 4, column 1");
}

TEST(ReleaseLayout, NamesEveryFileUnderDownloads) {
    ReleaseLayout first = make_release_layout("https://h:1", "1.0.0", "");
    EXPECT_EQ(first.manifest_path, "downloads/latest.json");
    EXPECT_EQ(first.direct_path, "downloads/direct/Velda.exe");
    EXPECT_EQ(first.package_url, "https://h:1/downloads/velda-1.0.0.zip");
    EXPECT_EQ(first.list_url, "");
    ReleaseLayout next = make_release_layout("https://h:1", "1.1.0", "1.0.0");
    EXPECT_EQ(next.list_path, "downloads/changes/1.0.0-to-1.1.0/velda-changes-1.0.0-to-1.1.0.txt");
    EXPECT_EQ(next.list_url, "https://h:1/" + next.list_path);
    EXPECT_EQ(next.files_url, "https://h:1/downloads/changes/1.0.0-to-1.1.0/files");
    EXPECT_EQ(layout_file_name(next.list_path), "velda-changes-1.0.0-to-1.1.0.txt");
}

}  // namespace
