#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest.h"
#include "manifest/release_details.h"

using namespace velda;

namespace {

// As the release tool writes it, for 1.2.0 from 1.0.0 and 1.1.0.
const char* const kFullManifest =
    "\xEF\xBB\xBF{\n"
    "  \"version\": \"1.2.0\",\n"
    "  \"url\": \"https://h/downloads/Velda-1.2.0.zip\",\n"
    "  \"changed_from_version\": \"1.1.0\",\n"
    "  \"changed_files_url\": \"https://h/downloads/changed.txt\",\n"
    "  \"package_size\": 9007199254740992,\n"
    "  \"unpacked_size\": 2048,\n"
    "  \"unpacked_files\": 3,\n"
    "  \"direct_size\": 0,\n"
    "  \"direct_from\": [\"1.1.0\"],\n"
    "  \"change_sets\": [\n"
    "    {\"from\": \"1.1.0\", \"list_url\": \"https://h/a\\u00e9\", \"base_url\": "
    "\"https://h/b/\", "
    "\"list_sha256\": \"ab\", \"hashes_url\": \"https://h/c\", \"hashes_sha256\": \"cd\", "
    "\"list_size\": 10, \"hashes_size\": 80, \"files_size\": 500, \"files_count\": 1, "
    "\"patches_url\": \"https://h/p.patches\", \"patches_sha256\": \"ef\", \"patches_size\": 77, "
    "\"patch_base_url\": \"https://h/patches\"},\n"
    "    {\"from\": \"1.0.0\", \"list_url\": \"https://h/d\", \"base_url\": \"https://h/e/\", "
    "\"unknown\": [1, {\"x\": null}]}\n"
    "  ]\n"
    "}\n";

TEST(ReleaseDetails, ReadsAFullManifestAndAnswersPerInstalledVersion) {
    ReleaseDetails details;
    std::string why;
    ASSERT_TRUE(read_release_details(kFullManifest, &details, &why)) << why;
    EXPECT_EQ(details.sizes.package, uint64_t{1} << 53);
    EXPECT_EQ(details.sizes.unpacked, 2048u);
    EXPECT_EQ(details.sizes.unpacked_files, 3u);
    EXPECT_EQ(details.sizes.direct, 0u);
    ASSERT_EQ(details.change_sets.size(), 2u);
    const ChangeSet& newer = details.change_sets[0];
    EXPECT_EQ(newer.list_url, "https://h/a\xC3\xA9");
    EXPECT_EQ(newer.base_url, "https://h/b/");
    EXPECT_EQ(newer.list_sha256, "ab");
    EXPECT_EQ(newer.hashes_url, "https://h/c");
    EXPECT_EQ(newer.hashes_sha256, "cd");
    EXPECT_EQ(newer.list_size, 10u);
    EXPECT_EQ(newer.hashes_size, 80u);
    EXPECT_EQ(newer.files_size, 500u);
    EXPECT_EQ(newer.files_count, 1u);
    EXPECT_EQ(newer.patches_url, "https://h/p.patches");
    EXPECT_EQ(newer.patches_sha256, "ef");
    EXPECT_EQ(newer.patches_size, 77u);
    EXPECT_EQ(newer.patch_base_url, "https://h/patches");
    const ChangeSet& older = details.change_sets[1];
    EXPECT_EQ(older.hashes_url, "");
    EXPECT_FALSE(older.files_size.has_value());
    EXPECT_EQ(older.patches_url, "");
    EXPECT_FALSE(older.patches_size.has_value());

    EXPECT_EQ(change_set_for(details, "1.0.0"), &older);
    EXPECT_EQ(change_set_for(details, "1.1.0"), &newer);
    EXPECT_EQ(change_set_for(details, "1.1"), nullptr);
    EXPECT_TRUE(direct_makes_release_whole(details, "1.1.0"));
    EXPECT_FALSE(direct_makes_release_whole(details, "1.0.0"));

    // The launcher's plain search still finds the top-level fields, not a change set's.
    Manifest manifest;
    manifest_extract(kFullManifest, &manifest);
    EXPECT_STREQ(manifest.changed_from_version, "1.1.0");
    EXPECT_STREQ(manifest.changed_files_url, "https://h/downloads/changed.txt");
    EXPECT_STREQ(manifest.url, "https://h/downloads/Velda-1.2.0.zip");
}

TEST(ReleaseDetails, AnOlderToolsManifestHasNoDetails) {
    ReleaseDetails details;
    details.direct_from.push_back("stale");
    std::string why;
    ASSERT_TRUE(read_release_details("{\"version\": \"1.0.0\", \"url\": \"u\"}", &details, &why));
    EXPECT_FALSE(details.direct_record_present);
    EXPECT_TRUE(details.direct_from.empty());
    EXPECT_TRUE(details.change_sets.empty());
    EXPECT_FALSE(details.sizes.package.has_value());
    EXPECT_FALSE(direct_makes_release_whole(details, ""));

    ASSERT_TRUE(read_release_details("{\"direct_from\": []}", &details, &why));
    EXPECT_TRUE(details.direct_record_present);
    EXPECT_FALSE(direct_makes_release_whole(details, ""));
}

std::string change_set(const std::string& from, const std::string& extra = "") {
    return "{\"from\": \"" + from + "\", \"list_url\": \"l\", \"base_url\": \"b\"" + extra + "}";
}

std::string many_versions(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "\"" : ", \"") + std::to_string(i) + "\"";
    }
    return text;
}

std::string many_change_sets(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += (i == 0 ? "" : ", ") + change_set(std::to_string(i));
    }
    return text;
}

std::string nested(int depth) {
    return "{\"x\": " + std::string(static_cast<size_t>(depth), '[') +
           std::string(static_cast<size_t>(depth), ']') + "}";
}

TEST(ReleaseDetails, AcceptsOrRefusesByTheRules) {
    const std::string longest_version(kVersionTextSize - 1, 'v');
    const std::string longest_url(kManifestUrlSize - 1, 'u');
    struct Case {
        const char* what;
        std::string json;
        bool accepted;
    };
    const Case cases[] = {
        {"zero size", "{\"package_size\": 0}", true},
        {"2^53", "{\"package_size\": 9007199254740992}", true},
        {"2^53 + 1", "{\"package_size\": 9007199254740993}", false},
        {"beyond 64 bits", "{\"package_size\": 184467440737095516160}", false},
        {"negative size", "{\"direct_size\": -1}", false},
        {"negative zero", "{\"direct_size\": -0}", false},
        {"fraction", "{\"unpacked_size\": 1.0}", false},
        {"exponent", "{\"unpacked_files\": 1e3}", false},
        {"size as text", "{\"package_size\": \"5\"}", false},
        {"leading zero", "{\"package_size\": 05}", false},
        {"unknown number kept aside", "{\"other\": -1.5e-3}", true},
        {"direct_from not an array", "{\"direct_from\": \"1.0.0\"}", false},
        {"direct_from with a number", "{\"direct_from\": [1]}", false},
        {"longest version", "{\"direct_from\": [\"" + longest_version + "\"]}", true},
        {"overlong version", "{\"direct_from\": [\"" + longest_version + "v\"]}", false},
        {"most direct versions", "{\"direct_from\": [" + many_versions(kMaxDirectFrom) + "]}",
         true},
        {"too many direct versions",
         "{\"direct_from\": [" + many_versions(kMaxDirectFrom + 1) + "]}", false},
        {"change_sets not an array", "{\"change_sets\": {}}", false},
        {"change set not an object", "{\"change_sets\": [[]]}", false},
        {"change set without from",
         "{\"change_sets\": [{\"list_url\": \"l\", \"base_url\": "
         "\"b\"}]}",
         false},
        {"change set with empty from", "{\"change_sets\": [" + change_set("") + "]}", false},
        {"change set without base_url",
         "{\"change_sets\": [{\"from\": \"1\", \"list_url\": "
         "\"l\"}]}",
         false},
        {"change set size of wrong type",
         "{\"change_sets\": [" + change_set("1", ", \"files_count\": true") + "]}", false},
        {"patch index size of wrong type",
         "{\"change_sets\": [" + change_set("1", ", \"patches_size\": \"7\"") + "]}", false},
        {"patch base URL of wrong type",
         "{\"change_sets\": [" + change_set("1", ", \"patch_base_url\": 1") + "]}", false},
        {"overlong patch index URL",
         "{\"change_sets\": [" + change_set("1", ", \"patches_url\": \"" + longest_url + "u\"") +
             "]}",
         false},
        {"change set hash of wrong type",
         "{\"change_sets\": [" + change_set("1", ", \"list_sha256\": 5") + "]}", false},
        {"change set overlong from",
         "{\"change_sets\": [" + change_set(longest_version + "v") + "]}", false},
        {"change set longest URL",
         "{\"change_sets\": [" + change_set("1", ", \"hashes_url\": \"" + longest_url + "\"") +
             "]}",
         true},
        {"change set overlong URL",
         "{\"change_sets\": [" + change_set("1", ", \"hashes_url\": \"" + longest_url + "u\"") +
             "]}",
         false},
        {"two sets from one version",
         "{\"change_sets\": [" + change_set("1.0.0") + ", " + change_set("1.0.0") + "]}", false},
        {"most change sets", "{\"change_sets\": [" + many_change_sets(kMaxChangeSets) + "]}", true},
        {"too many change sets",
         "{\"change_sets\": [" + many_change_sets(kMaxChangeSets + 1) + "]}", false},
        {"duplicate top-level key", "{\"package_size\": 1, \"package_size\": 1}", false},
        {"duplicate key in a change set",
         "{\"change_sets\": [" + change_set("1", ", \"from\": \"2\"") + "]}", false},
        {"deepest nesting", nested(16), true},
        {"too deep", nested(17), false},
        {"truncated", std::string(kFullManifest).substr(0, 200), false},
        {"truncated in a string", "{\"direct_from\": [\"1.0", false},
        {"not an object", "[]", false},
        {"trailing text", "{} x", false},
        {"empty", "", false},
        {"bad escape", "{\"a\": \"\\x\"}", false},
        {"lone surrogate", "{\"a\": \"\\ud800\"}", false},
        {"control byte", "{\"a\": \"\x01\"}", false},
        {"invalid UTF-8", "{\"a\": \"\xC0\xAF\"}", false},
        {"literals", "{\"a\": [true, false, null]}", true},
        {"bad literal", "{\"a\": nul}", false},
    };
    for (const Case& c : cases) {
        ReleaseDetails details;
        std::string why;
        bool accepted = read_release_details(c.json, &details, &why);
        EXPECT_EQ(accepted, c.accepted) << c.what << ": " << why;
        if (!accepted) {
            EXPECT_FALSE(why.empty()) << c.what;
            EXPECT_TRUE(details.change_sets.empty() && details.direct_from.empty() &&
                        !details.direct_record_present && !details.sizes.package.has_value())
                << c.what;
        }
    }
}

}  // namespace

TEST(ReleaseDetails, ReadsWhatTheReleaseIsAndWhenItWasMade) {
    const std::string longest_product(kProductIdSize - 1, 'p');
    struct Case {
        const char* what;
        std::string json;
        bool accepted;
        ReleaseIdentity identity;
    };
    const Case cases[] = {
        {"an older tool's manifest", "{\"version\": \"1.0.0\"}", true, {}},
        {"all three",
         "{\"product\": \"velda\", \"issued\": \"2026-12-09T05:00:00Z\", "
         "\"expires\": \"2027-01-08T23:59:59Z\"}",
         true,
         {"velda", "2026-12-09T05:00:00Z", "2027-01-08T23:59:59Z"}},
        {"longest product",
         "{\"product\": \"" + longest_product + "\"}",
         true,
         {longest_product, "", ""}},
        {"product of dots and dashes",
         "{\"product\": \"velda.nova_2-x\"}",
         true,
         {"velda.nova_2-x", "", ""}},
        {"overlong product", "{\"product\": \"" + longest_product + "p\"}", false, {}},
        {"empty product", "{\"product\": \"\"}", false, {}},
        {"product with a slash", "{\"product\": \"a/b\"}", false, {}},
        {"product with a space", "{\"product\": \"a b\"}", false, {}},
        {"product as a number", "{\"product\": 1}", false, {}},
        {"issued without Z", "{\"issued\": \"2026-12-09T05:00:00\"}", false, {}},
        {"issued with an offset", "{\"issued\": \"2026-12-09T05:00:00+01:00\"}", false, {}},
        {"issued month 13", "{\"issued\": \"2026-13-09T05:00:00Z\"}", false, {}},
        {"issued hour 24", "{\"issued\": \"2026-12-09T24:00:00Z\"}", false, {}},
        {"issued day 0", "{\"issued\": \"2026-12-00T05:00:00Z\"}", false, {}},
        {"issued with a letter", "{\"issued\": \"2026-1x-09T05:00:00Z\"}", false, {}},
        {"expires empty", "{\"expires\": \"\"}", false, {}},
        {"expires as a number", "{\"expires\": 1765256400}", false, {}},
        {"duplicate product", "{\"product\": \"a\", \"product\": \"a\"}", false, {}},
    };
    for (const Case& c : cases) {
        ReleaseIdentity identity;
        std::string why;
        EXPECT_EQ(read_release_identity(c.json, &identity, &why), c.accepted) << c.what << why;
        EXPECT_EQ(identity, c.identity) << c.what;
        EXPECT_EQ(why.empty(), c.accepted) << c.what;
        ReleaseDetails details;
        EXPECT_EQ(read_release_details(c.json, &details, &why), c.accepted) << c.what << why;
        EXPECT_EQ(details.identity, c.identity) << c.what;
    }
}

TEST(ReleaseDetails, ReadsTheOfferedLauncherOrRefusesIt) {
    const std::string hash(64, 'A');
    auto manifest = [](const std::string& launcher) {
        return "{\"version\": \"2.0.0\", \"url\": \"https://h/p.zip\"" +
               (launcher.empty() ? std::string() : ", \"launcher\": " + launcher) + "}";
    };
    auto member = [&hash](const std::string& version, const std::string& size) {
        return "{\"version\": \"" + version +
               "\", \"url\": \"https://h/downloads/launcher/VeldaLauncher.exe\", \"sha256\": \"" +
               hash + "\", \"size\": " + size + "}";
    };
    struct Case {
        std::string launcher;
        bool read;
        const char* why_part;
    };
    const Case cases[] = {
        {"", true, ""},
        {member("1.1.0", "4096"), true, ""},
        {"[]", false, "\"launcher\" is not an object"},
        {member("1.1", "4096"), false, "launcher: \"version\""},
        {member("1.1.0 ", "4096"), false, "launcher: \"version\""},
        {member(std::string(70, '1'), "4096"), false, "launcher: \"version\""},
        {member("1.1.0", "0"), false, "launcher: \"size\""},
        {member("1.1.0", "-1"), false, "launcher: \"size\""},
        {"{\"version\": \"1.1.0\", \"url\": \"https://h/l.exe\", \"size\": 1}", false,
         "launcher: \"sha256\" is missing"},
        {"{\"version\": \"1.1.0\", \"url\": \"https://h/l.exe\", \"sha256\": \"ab\", \"size\": 1}",
         false, "launcher: \"sha256\""},
        {"{\"version\": \"1.1.0\", \"sha256\": \"" + hash + "\", \"size\": 1}", false,
         "launcher: \"url\" is missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.launcher);
        std::string text = manifest(c.launcher);
        ReleaseDetails details;
        std::optional<OfferedLauncher> alone;
        std::string why;
        std::string why_alone;
        EXPECT_EQ(read_release_details(text, &details, &why), c.read);
        EXPECT_EQ(read_offered_launcher(text, &alone, &why_alone), c.read);
        EXPECT_EQ(alone, details.launcher);
        EXPECT_NE(why.find(c.why_part), std::string::npos) << why;
        EXPECT_EQ(why_alone, why);
    }
    std::optional<OfferedLauncher> offered;
    std::string why;
    ASSERT_TRUE(read_offered_launcher(manifest(member("1.1.0", "4096")), &offered, &why));
    ASSERT_TRUE(offered.has_value());
    EXPECT_EQ(*offered, (OfferedLauncher{"1.1.0", "https://h/downloads/launcher/VeldaLauncher.exe",
                                         hash, 4096}));
}
