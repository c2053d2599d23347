#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "manifest/release_details.h"
#include "manifest_check.h"
#include "manifest_writer.h"

using namespace velda;

namespace {

ReleaseManifest full_release() {
    ReleaseManifest m;
    m.version = "1.4.2";
    m.url = "https://downloads.example.com/downloads/velda-1.4.2.zip";
    m.has_changed_files = true;
    m.changed_from_version = "1.4.1";
    m.changed_files_url = "https://downloads.example.com/downloads/changes/list.txt";
    m.changed_files_base_url = "https://downloads.example.com/downloads/changes/files";
    return m;
}

TEST(ManifestWriter, TheLauncherReadsBackExactlyWhatWasWritten) {
    ReleaseManifest with_list = full_release();
    ReleaseManifest without_list = full_release();
    without_list.has_changed_files = false;
    ReleaseManifest longest = full_release();
    longest.url = "https://h/" + std::string(1023 - 14, 'a') + ".zip";
    longest.version = std::string(58, '0') + "9.9.9";  // 63 bytes
    for (const ReleaseManifest& m : {with_list, without_list, longest}) {
        std::vector<std::string> problems;
        ASSERT_TRUE(validate_release_manifest(m, &problems)) << problems[0];
        std::string text = write_manifest_json(m);
        Manifest read{};
        manifest_extract(text.c_str(), &read);
        EXPECT_EQ(read.version, m.version);
        EXPECT_EQ(read.url, m.url);
        EXPECT_EQ(read.changed_from_version_found, m.has_changed_files);
        EXPECT_EQ(read.changed_files_url_found, m.has_changed_files);
        EXPECT_EQ(read.changed_files_base_url_found, m.has_changed_files);
        EXPECT_EQ(read.changed_from_version, m.has_changed_files ? m.changed_from_version : "");
        EXPECT_EQ(read.changed_files_url, m.has_changed_files ? m.changed_files_url : "");
        EXPECT_EQ(read.changed_files_base_url, m.has_changed_files ? m.changed_files_base_url : "");
        // And the trap finder, which sees the text as a JSON reader does, agrees.
        ManifestAnalysis analysis;
        analyze_manifest(text, &analysis);
        EXPECT_TRUE(analysis.traps.empty()) << analysis.traps[0];
        EXPECT_TRUE(analysis.scan.valid);
    }
}

ChangeSet change_set(const std::string& from) {
    ChangeSet set;
    set.from_version = from;
    set.list_url = "https://downloads.example.com/downloads/changes/" + from + "/list.txt";
    set.base_url = "https://downloads.example.com/downloads/changes/" + from + "/files";
    set.hashes_url = "https://downloads.example.com/downloads/changes/" + from + "/list.sha256";
    set.list_sha256 = std::string(64, 'a');
    set.list_size = 10;
    set.files_count = 0;
    return set;
}

TEST(ManifestWriter, ChangeSetsReadBackAndLeaveTheSingleFieldsToThePlainSearch) {
    ReleaseManifest m = full_release();
    m.has_details = true;
    m.details.sizes = {100, 200, 3, 0};
    m.details.direct_record_present = true;
    m.details.direct_from = {"1.4.1"};
    // The older set names other URLs under the names the launcher's search knows best.
    m.details.change_sets = {change_set("1.4.1"), change_set("1.3.0")};
    ChangeSet& patched = m.details.change_sets[0];
    patched.patches_url = "https://downloads.example.com/downloads/changes/1.4.1/list.patches";
    patched.patches_sha256 = std::string(64, 'b');
    patched.patches_size = 99;
    patched.patch_base_url = "https://downloads.example.com/downloads/changes/1.4.1/patches";
    std::vector<std::string> problems;
    ASSERT_TRUE(validate_release_manifest(m, &problems)) << problems[0];
    std::string text = write_manifest_json(m);
    Manifest read{};
    manifest_extract(text.c_str(), &read);
    EXPECT_EQ(read.changed_from_version, m.changed_from_version);
    EXPECT_EQ(read.changed_files_url, m.changed_files_url);
    EXPECT_EQ(read.changed_files_base_url, m.changed_files_base_url);
    ReleaseDetails details;
    std::string why;
    ASSERT_TRUE(read_release_details(text, &details, &why)) << why;
    EXPECT_EQ(details, m.details);
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    EXPECT_TRUE(analysis.traps.empty()) << analysis.traps[0];

    ReleaseManifest refused = m;
    refused.details.change_sets.push_back(change_set("1.4.2"));  // not older
    refused.details.change_sets[1].hashes_url = "ftp://h/x";
    refused.details.change_sets[1].patches_url = "https://h/only-the-index";
    problems.clear();
    EXPECT_FALSE(validate_release_manifest(refused, &problems));
    EXPECT_EQ(problems.size(), 3u);
}

TEST(ManifestWriter, WritesPlainSlashesAndEachKeyOnce) {
    std::string text = write_manifest_json(full_release());
    EXPECT_EQ(text.find("\\"), std::string::npos);
    for (const ManifestKey& key : kManifestKeys) {
        std::string quoted = std::string("\"") + key.name + "\"";
        size_t first = text.find(quoted);
        ASSERT_NE(first, std::string::npos) << key.name;
        EXPECT_EQ(text.find(quoted, first + 1), std::string::npos) << key.name;
    }
    EXPECT_EQ(text.substr(0, 2), "{\n");
    EXPECT_EQ(text.back(), '\n');
}

struct RefusalCase {
    const char* name;
    void (*change)(ReleaseManifest*);
    const char* problem_part;
};

TEST(ManifestValidator, RefusesWhatTheLauncherCannotReadFaithfully) {
    const RefusalCase cases[] = {
        {"quote in url", [](ReleaseManifest* m) { m->url += "\"x.zip"; }, "double quote"},
        {"backslash in url", [](ReleaseManifest* m) { m->url = "https:\\/\\/h/x.zip"; },
         "backslash"},
        {"control byte", [](ReleaseManifest* m) { m->changed_files_base_url += "\t"; },
         "control byte"},
        {"url over capacity",
         [](ReleaseManifest* m) { m->url = "https://h/" + std::string(1010, 'a') + ".zip"; },
         "at most 1023"},
        {"list url over capacity",
         [](ReleaseManifest* m) { m->changed_files_url = "https://h/" + std::string(1014, 'a'); },
         "at most 1023"},
        {"version over capacity",
         [](ReleaseManifest* m) { m->version = std::string(60, '0') + "1.2.3"; }, "longer than 63"},
        {"version does not parse", [](ReleaseManifest* m) { m->version = "1.4.2-beta"; },
         "does not parse"},
        {"version with a space", [](ReleaseManifest* m) { m->version = "1.4.2 "; }, "white space"},
        {"version with inner blanks", [](ReleaseManifest* m) { m->version = "1. 4. 2"; },
         "white space"},
        {"empty version", [](ReleaseManifest* m) { m->version = ""; }, "empty"},
        {"negative version", [](ReleaseManifest* m) { m->version = "-1.4.2"; }, "does not parse"},
        {"previous version does not parse",
         [](ReleaseManifest* m) { m->changed_from_version = "v1.4.1"; }, "does not parse"},
        {"previous not older", [](ReleaseManifest* m) { m->changed_from_version = "1.4.2"; },
         "not older"},
        {"previous newer", [](ReleaseManifest* m) { m->changed_from_version = "1.10.0"; },
         "not older"},
        {"package url without a file", [](ReleaseManifest* m) { m->url = "https://h/downloads/"; },
         "names no file"},
        {"package url with a device name", [](ReleaseManifest* m) { m->url = "https://h/nul.zip"; },
         "names no file"},
        {"list url without a file",
         [](ReleaseManifest* m) { m->changed_files_url = "https://h/x/"; }, "names no file"},
        {"package url not http", [](ReleaseManifest* m) { m->url = "ftp://h/x.zip"; },
         "not an http"},
        {"base url not http", [](ReleaseManifest* m) { m->changed_files_base_url = "files"; },
         "not an http"},
    };
    for (const RefusalCase& c : cases) {
        ReleaseManifest m = full_release();
        c.change(&m);
        std::vector<std::string> problems;
        EXPECT_FALSE(validate_release_manifest(m, &problems)) << c.name;
        ASSERT_FALSE(problems.empty()) << c.name;
        EXPECT_NE(problems[0].find(c.problem_part), std::string::npos)
            << c.name << ": " << problems[0];
    }
}

TEST(ManifestValidator, ChangedFilesFieldsAreOnlyCheckedWhenOffered) {
    ReleaseManifest m = full_release();
    m.has_changed_files = false;
    m.changed_from_version = "junk";
    m.changed_files_url = "";
    std::vector<std::string> problems;
    EXPECT_TRUE(validate_release_manifest(m, &problems));
}

struct VersionCase {
    const char* text;
    bool usable;
};

TEST(ReleaseVersion, FollowsTheLauncherGrammarWithoutBlanks) {
    const VersionCase cases[] = {
        {"1.2.3", true},           {"0.0.0", true},          {"01.002.3", true},
        {"+1.2.3", true},          {"1.2.3 ", false},        {" 1.2.3", false},
        {"1.2.3\n", false},        {"1.2", false},           {"1.2.3.4", false},
        {"v1.2.3", false},         {"1.2.3-rc1", false},     {"-1.2.3", false},
        {"2147483648.0.0", false}, {"2147483647.0.0", true}, {"", false},
    };
    for (const VersionCase& c : cases) {
        std::string why;
        EXPECT_EQ(release_version_usable(c.text, &why), c.usable) << "\"" << c.text << "\" " << why;
    }
}

}  // namespace

namespace {

TEST(ManifestWriter, WritesWhatTheReleaseIsLastAndReadsItBack) {
    ReleaseManifest m = full_release();
    m.has_details = true;
    m.details.direct_record_present = true;
    m.details.identity = {"velda", "2026-12-09T05:00:00Z", "2027-01-08T05:00:00Z"};
    std::string text = write_manifest_json(m);
    EXPECT_NE(text.find(",\n  \"product\": \"velda\",\n  \"issued\": \"2026-12-09T05:00:00Z\",\n"
                        "  \"expires\": \"2027-01-08T05:00:00Z\"\n}\n"),
              std::string::npos)
        << text;
    ReleaseDetails details;
    std::string why;
    ASSERT_TRUE(read_release_details(text, &details, &why)) << why;
    EXPECT_EQ(details.identity, m.details.identity);
    Manifest read{};
    manifest_extract(text.c_str(), &read);
    EXPECT_STREQ(read.version, m.version.c_str());
    EXPECT_STREQ(read.url, m.url.c_str());
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    EXPECT_TRUE(analysis.traps.empty()) << analysis.traps[0];

    m.details.identity.expires.clear();  // does not expire: no member at all
    EXPECT_EQ(write_manifest_json(m).find("expires"), std::string::npos);
}

}  // namespace
