#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.h"
#include "test_support.h"

using namespace velda;

namespace {

struct ExtractCase {
    const char* name;
    std::string json;
    const char* key;
    size_t capacity;
    bool found;
    std::string value;
};

TEST(JsonExtractString, FindsTheFirstQuotedKeyAndCopiesRawBytes) {
    const ExtractCase cases[] = {
        {"plain", R"({"version": "1.4.2"})", "version", 64, true, "1.4.2"},
        {"no blanks", R"({"url":"https://h/p.zip"})", "url", 1024, true, "https://h/p.zip"},
        {"blanks and newlines", "{\"url\" \t:\r\n \t\"x\"}", "url", 1024, true, "x"},
        {"suffix key does not match", R"({"changed_files_url": "a", "url": "b"})", "url", 1024,
         true, "b"},
        {"changed_from_version is not version", R"({"changed_from_version": "1", "version": "2"})",
         "version", 64, true, "2"},
        {"only a longer key", R"({"changed_files_url": "a"})", "url", 1024, false, ""},
        {"value equal to the key ahead of it", R"({"kind": "url", "other": "wrong", "url": "x"})",
         "url", 1024, true, "wrong"},
        {"nested object first", R"({"a": {"url": "nested"}, "url": "top"})", "url", 1024, true,
         "nested"},
        {"number", R"({"version": 1})", "version", 64, false, ""},
        {"true", R"({"version": true})", "version", 64, false, ""},
        {"null", R"({"version": null})", "version", 64, false, ""},
        {"object", R"({"version": {"x": "1"}})", "version", 64, false, ""},
        {"vertical tab is not skipped", "{\"version\":\v\"1\"}", "version", 64, false, ""},
        {"escaped slashes stay", R"({"url": "https:\/\/h\/p.zip"})", "url", 1024, true,
         R"(https:\/\/h\/p.zip)"},
        {"escaped quote stays", R"({"version": "a\"b"})", "version", 64, true, R"(a\"b)"},
        {"escaped backslash then end", R"({"version": "a\\"})", "version", 64, true, R"(a\\)"},
        {"empty value", R"({"version": ""})", "version", 64, true, ""},
        {"unterminated", R"({"version": "1.2)", "version", 64, false, ""},
        {"unterminated after backslash", "{\"version\": \"1\\", "version", 64, false, ""},
        {"no colon", R"({"version" "1"})", "version", 64, false, ""},
        {"text between key and colon is passed over", R"({"version" junk : "1"})", "version", 64,
         true, "1"},
        {"missing", R"({"other": "1"})", "version", 64, false, ""},
        {"not json at all", R"(garbage "version":"9.9.9" more)", "version", 64, true, "9.9.9"},
        {"cut to capacity", R"({"version": "0123456789"})", "version", 5, true, "0123"},
        {"exactly capacity minus one", R"({"version": "0123"})", "version", 5, true, "0123"},
    };
    for (const ExtractCase& c : cases) {
        char out[1024];
        out[0] = 'X';
        bool found = json_extract_string(c.json.c_str(), c.key, out, c.capacity);
        EXPECT_EQ(found, c.found) << c.name;
        EXPECT_EQ(std::string(out), c.value) << c.name;
    }
}

TEST(JsonExtractString, LongUrlIsCutTo1023Bytes) {
    std::string url(1500, 'u');
    std::string json = "{\"url\": \"" + url + "\"}";
    char out[kManifestUrlSize];
    EXPECT_TRUE(json_extract_string(json.c_str(), "url", out, sizeof(out)));
    EXPECT_EQ(std::string(out), std::string(1023, 'u'));
}

TEST(ManifestExtract, FoundFlagsFollowStringValues) {
    Manifest manifest;
    manifest_extract(R"({"version": "1.4.2", "url": "https://h/v.zip",
        "changed_from_version": "", "changed_files_url": 5})",
                     &manifest);
    EXPECT_STREQ(manifest.version, "1.4.2");
    EXPECT_STREQ(manifest.url, "https://h/v.zip");
    EXPECT_TRUE(manifest.changed_from_version_found);
    EXPECT_STREQ(manifest.changed_from_version, "");
    EXPECT_FALSE(manifest.changed_files_url_found);
    EXPECT_FALSE(manifest.changed_files_base_url_found);
    EXPECT_TRUE(manifest_is_usable(manifest));

    manifest_extract(R"({"version": "", "url": "x"})", &manifest);
    EXPECT_FALSE(manifest_is_usable(manifest));
    manifest_extract(R"({"version": "1.0.0"})", &manifest);
    EXPECT_FALSE(manifest_is_usable(manifest));
}

struct VersionCase {
    const char* text;
    bool parses;
    VersionTriple triple;
};

TEST(ParseVersion, Grammar) {
    const VersionCase cases[] = {
        {"1.2.3", true, {1, 2, 3}},
        {"1.2.3   ", true, {1, 2, 3}},
        {"1.2.3\n", true, {1, 2, 3}},
        {"1.2.3\r\n\t\v\f ", true, {1, 2, 3}},
        {"01.002.3", true, {1, 2, 3}},
        {"1. 2. 3", true, {1, 2, 3}},
        {"  1.2.3", true, {1, 2, 3}},
        {"\n1.\t2.\v3", true, {1, 2, 3}},
        {"+1.+2.+3", true, {1, 2, 3}},
        {"-0.1.2", true, {0, 1, 2}},
        {"0.0.0", true, {0, 0, 0}},
        {"2147483647.0.0", true, {2147483647, 0, 0}},
        {"1 .2.3", false, {}},
        {"1.2", false, {}},
        {"1.2.", false, {}},
        {"1.2.3.4", false, {}},
        {"1.2.3-beta", false, {}},
        {"1.2.3 x", false, {}},
        {"v1.2.3", false, {}},
        {"", false, {}},
        {"   ", false, {}},
        {"-1.2.3", false, {}},
        {"1.-2.3", false, {}},
        {"1.2.-3", false, {}},
        {"1.2.+", false, {}},
        {"+-1.2.3", false, {}},
        {"1..2.3", false, {}},
        {"2147483648.0.0", false, {}},
        {"1.2.99999999999999999999", false, {}},
        {"1.2.3\x01", false, {}},
    };
    for (const VersionCase& c : cases) {
        VersionTriple triple{-1, -1, -1};
        EXPECT_EQ(parse_version(c.text, &triple), c.parses) << "'" << c.text << "'";
        if (c.parses) {
            EXPECT_EQ(triple.major, c.triple.major) << c.text;
            EXPECT_EQ(triple.minor, c.triple.minor) << c.text;
            EXPECT_EQ(triple.patch, c.triple.patch) << c.text;
        }
    }
}

TEST(CompareVersions, NumericWithUnparsableRankedLowest) {
    struct Case {
        const char* installed;
        const char* server;
        VersionOrder order;
    };
    const Case cases[] = {
        {"1.9.0", "1.10.0", VersionOrder::LocalOlder},
        {"2.0.0", "1.99.99", VersionOrder::LocalNewer},
        {"1.2.3", "1.2.3", VersionOrder::Equal},
        {"1.2.10", "1.2.9", VersionOrder::LocalNewer},
        {"1.2.3", "1.2.4", VersionOrder::LocalOlder},
        {"1.3.0", "1.2.9", VersionOrder::LocalNewer},
        {"01.002.3", "1.2.3", VersionOrder::Equal},
        {"1.2.3 ", "1.2.3", VersionOrder::Equal},
        {"bad", "0.0.0", VersionOrder::LocalOlder},
        {"", "0.0.0", VersionOrder::LocalOlder},
        {"0.0.0", "bad", VersionOrder::LocalNewer},
        {"1.2.3", "1.2.3-beta", VersionOrder::LocalNewer},
        {"1.2.3-beta", "1.2.3", VersionOrder::LocalOlder},
        {"bad", "worse", VersionOrder::Equal},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compare_versions(c.installed, c.server), c.order)
            << c.installed << " vs " << c.server;
    }
}

TEST(VersionStamp, ReadTrimsAndKeeps63Bytes) {
    TempFolder folder;
    char out[kVersionTextSize];

    EXPECT_TRUE(read_version_stamp(folder.write("a", "1.4.2\r\n").c_str(), out));
    EXPECT_STREQ(out, "1.4.2");
    EXPECT_TRUE(read_version_stamp(folder
                                       .write("b",
                                              "\xEF\xBB\xBF"
                                              "1.4.2")
                                       .c_str(),
                                   out));
    EXPECT_STREQ(out, "1.4.2");
    EXPECT_TRUE(read_version_stamp(folder.write("c", "").c_str(), out));
    EXPECT_STREQ(out, "");
    std::string hundred = " " + std::string(99, '7');
    EXPECT_TRUE(read_version_stamp(folder.write("d", hundred).c_str(), out));
    EXPECT_EQ(std::string(out), std::string(62, '7'));

    out[0] = 'X';
    EXPECT_FALSE(read_version_stamp(folder.file("missing").c_str(), out));
    EXPECT_STREQ(out, "");
}

TEST(VersionStamp, WriteIsExactlyTheVersionBytes) {
    TempFolder folder;
    folder.write("velda.version", "old content that is longer\r\n");
    EXPECT_TRUE(write_version_stamp(folder.file("velda.version").c_str(), "1.5.0"));
    EXPECT_EQ(folder.read("velda.version"), "1.5.0");
    // A folder that does not exist: nothing is written, and the caller is told.
    EXPECT_FALSE(write_version_stamp(folder.file("no/such/velda.version").c_str(), "1.5.0"));
}

}  // namespace
