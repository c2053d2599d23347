#include <gtest/gtest.h>

#include <string>

#include "json_scan.h"

using namespace velda;

namespace {

struct ValidityCase {
    const char* name;
    std::string text;
    bool valid;
    bool root_is_object;
};

TEST(JsonScan, AcceptsJsonAndRefusesTheRest) {
    const ValidityCase cases[] = {
        {"empty object", "{}", true, true},
        {"blanks around", " \r\n\t{ } \n", true, true},
        {"all kinds",
         R"({"s":"x","n":-1.5e+3,"o":{"a":[1,{}]},"a":[],"t":true,"f":false,"z":null})", true,
         true},
        {"array root", "[1, 2]", true, false},
        {"string root", "\"x\"", true, false},
        {"empty text", "", false, false},
        {"trailing comma", R"({"a":"1",})", false, true},
        {"single quotes", "{'a':'1'}", false, true},
        {"unquoted key", "{a:\"1\"}", false, true},
        {"text after the object", R"({"a":"1"} x)", false, true},
        {"two objects", "{}{}", false, true},
        {"leading zero", R"({"a":01})", false, true},
        {"bare minus", R"({"a":-})", false, true},
        {"fraction without digits", R"({"a":1.})", false, true},
        {"raw line feed in a string", "{\"a\":\"x\ny\"}", false, true},
        {"unknown escape", R"({"a":"\x"})", false, true},
        {"short unicode escape", R"({"a":"\u12"})", false, true},
        {"lone high surrogate", R"({"a":"\ud800"})", false, true},
        {"surrogate pair", R"({"a":"\ud83d\ude00"})", true, true},
        {"unterminated string", R"({"a":"x)", false, true},
        {"unclosed object", R"({"a":"x")", false, true},
        {"truncated literal", R"({"a":tru})", false, true},
        {"invalid UTF-8", "{\"a\":\"\xC3\"}", false, true},
        {"overlong UTF-8", "{\"a\":\"\xC0\xAF\"}", false, true},
        {"encoded surrogate", "{\"a\":\"\xED\xA0\x80\"}", false, true},
        {"valid UTF-8", "{\"a\":\"\xC3\xB1\xE2\x82\xAC\xF0\x9F\x98\x80\"}", true, true},
        {"byte-order mark", "\xEF\xBB\xBF{}", true, true},
        {"vertical tab is no JSON blank", "{\v}", false, true},
    };
    for (const ValidityCase& c : cases) {
        JsonScan scan = scan_json_top_level(c.text);
        EXPECT_EQ(scan.valid, c.valid) << c.name << ": " << scan.error;
        EXPECT_EQ(scan.root_is_object, c.root_is_object) << c.name;
        EXPECT_EQ(scan.error.empty(), c.valid) << c.name;
    }
}

TEST(JsonScan, DeepNestingIsRefusedWithoutCrashing) {
    std::string deep = "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    JsonScan scan = scan_json_top_level(deep);
    EXPECT_FALSE(scan.valid);
    EXPECT_EQ(scan.error, "nested too deeply");
}

TEST(JsonScan, ListsOnlyTopLevelMembersWithTheirOffsets) {
    const std::string text =
        R"({"meta": {"url": "nested", "version": "0"}, "url": "top", "list": ["url"], )"
        R"("version": "1.2.3"})";
    JsonScan scan = scan_json_top_level(text);
    ASSERT_TRUE(scan.valid) << scan.error;
    ASSERT_EQ(scan.members.size(), 4u);
    const char* keys[] = {"meta", "url", "list", "version"};
    const JsonKind kinds[] = {JsonKind::Object, JsonKind::String, JsonKind::Array,
                              JsonKind::String};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(scan.members[i].key, keys[i]);
        EXPECT_EQ(scan.members[i].kind, kinds[i]);
        EXPECT_EQ(text.compare(scan.members[i].key_offset, 1, "\""), 0);
        EXPECT_EQ(text.substr(scan.members[i].key_offset + 1, scan.members[i].key.size()), keys[i]);
    }
    EXPECT_EQ(scan.members[1].raw, "top");
    EXPECT_EQ(text.substr(scan.members[1].value_offset, 5), "\"top\"");
    EXPECT_EQ(find_top_level_member(scan, "url"), 1);
    EXPECT_EQ(find_top_level_member(scan, "version"), 3);
    EXPECT_EQ(find_top_level_member(scan, "changed_files_url"), -1);
}

struct StringCase {
    const char* name;
    std::string text;
    std::string raw;
    std::string decoded;
};

TEST(JsonScan, KeepsRawAndDecodedStringValues) {
    const StringCase cases[] = {
        {"plain", R"({"v":"https://h/p.zip"})", "https://h/p.zip", "https://h/p.zip"},
        {"escaped slashes", R"({"v":"https:\/\/h\/p.zip"})", R"(https:\/\/h\/p.zip)",
         "https://h/p.zip"},
        {"quote and backslash", R"({"v":"a\"b\\c"})", R"(a\"b\\c)", "a\"b\\c"},
        {"control escapes", R"({"v":"\b\f\n\r\t"})", R"(\b\f\n\r\t)", "\b\f\n\r\t"},
        {"unicode escape", R"({"v":"\u00e9\u20AC"})", R"(\u00e9\u20AC)", "\xC3\xA9\xE2\x82\xAC"},
        {"surrogate pair", R"({"v":"\ud83d\ude00"})", R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
        {"empty", R"({"v":""})", "", ""},
    };
    for (const StringCase& c : cases) {
        JsonScan scan = scan_json_top_level(c.text);
        ASSERT_TRUE(scan.valid) << c.name << ": " << scan.error;
        ASSERT_EQ(scan.members.size(), 1u) << c.name;
        EXPECT_EQ(scan.members[0].raw, c.raw) << c.name;
        EXPECT_EQ(scan.members[0].decoded, c.decoded) << c.name;
    }
}

TEST(JsonScan, DuplicateKeysAreAllListed) {
    JsonScan scan = scan_json_top_level(R"({"url":"a","url":"b"})");
    ASSERT_TRUE(scan.valid);
    ASSERT_EQ(scan.members.size(), 2u);
    EXPECT_EQ(scan.members[0].raw, "a");
    EXPECT_EQ(scan.members[1].raw, "b");
    EXPECT_EQ(find_top_level_member(scan, "url"), 0);
}

TEST(JsonScan, ErrorOffsetPointsAtTheFault) {
    const std::string text = "{\"a\": \"1\",\n \"b\" \"2\"}";
    JsonScan scan = scan_json_top_level(text);
    EXPECT_FALSE(scan.valid);
    EXPECT_EQ(scan.error, "expected a colon after the member name");
    EXPECT_EQ(text.substr(scan.error_offset, 3), "\"2\"");
    // Members read before the fault are kept.
    ASSERT_EQ(scan.members.size(), 1u);
    EXPECT_EQ(scan.members[0].key, "a");
}

}  // namespace
