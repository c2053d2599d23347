#include <gtest/gtest.h>

#include <string>

#include "identity_check.h"
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

namespace {

TEST(UtcTimeText, NamesTheUtcMomentOfSecondsSince1970) {
    struct Case {
        long long seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},          {951782399, "2000-02-28T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"},  // a leap day of a year divisible by 400
        {1765256400, "2025-12-09T05:00:00Z"}, {4102444799, "2099-12-31T23:59:59Z"},
        {4107542400, "2100-03-01T00:00:00Z"},  // 2100 has no 29 February
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utc_time_text_of(c.seconds), c.text) << c.seconds;
    }
}

TEST(ReleaseIdentityCheck, RefusesWhatKeyedLaunchersRefuse) {
    const std::string now = "2026-12-09T05:00:00Z";
    struct Case {
        const char* what;
        const char* manifest;
        const char* product_id;
        size_t traps;
        const char* trap_part;
    };
    const Case cases[] = {
        {"an older tool's manifest", R"({"version": "1.0.0"})", "velda", 0, ""},
        {"ours, not expired",
         R"({"product": "velda", "issued": "2026-12-01T00:00:00Z", "expires": "2026-12-10T00:00:00Z"})",
         "velda", 0, ""},
        {"another product, no --product-id", R"({"product": "other"})", "", 0, ""},
        {"another product", R"({"product": "other"})", "velda", 1,
         "another product's release (\"other\", not \"velda\")"},
        {"expired", R"({"expires": "2026-12-09T04:59:59Z"})", "", 1, "has expired (at "},
        {"malformed issued", R"({"issued": "yesterday"})", "", 1, "\"issued\" is not a UTC time"},
        {"not JSON: named elsewhere", "{", "velda", 0, ""},
    };
    for (const Case& c : cases) {
        IdentityReport report = check_release_identity(c.manifest, c.product_id, now);
        ASSERT_EQ(report.traps.size(), c.traps) << c.what;
        if (c.traps != 0) {
            EXPECT_NE(report.traps[0].find("keyed launchers refuse the manifest"),
                      std::string::npos);
            EXPECT_NE(report.traps[0].find(c.trap_part), std::string::npos) << report.traps[0];
        }
    }
}

}  // namespace
