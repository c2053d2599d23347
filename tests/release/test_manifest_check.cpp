#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest_check.h"

using namespace velda;

namespace {

const char kList[] = "https://h/downloads/changes/list.txt";
const char kBase[] = "https://h/downloads/changes/files";

std::string good_manifest() {
    return std::string(
               "{\n  \"version\": \"1.4.2\",\n  \"url\": \"https://h/downloads/velda-1.4.2.zip\",\n"
               "  \"changed_from_version\": \"1.4.1\",\n  \"changed_files_url\": \"") +
           kList + "\",\n  \"changed_files_base_url\": \"" + kBase + "\"\n}\n";
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

struct TrapCase {
    const char* name;
    std::string text;
    // Every trap text must hold one of these parts, and each part must be found.
    std::vector<const char*> parts;
};

TEST(ManifestTraps, EachTrapIsNamed) {
    const std::string long_url = "https://h/" + std::string(1500, 'a') + ".zip";
    const TrapCase cases[] = {
        {"sound", good_manifest(), {}},
        {"escaped slashes",
         R"({"version": "1.4.2", "url": "https:\/\/h\/downloads\/velda.zip"})",
         {"escaped slashes", "not an absolute http"}},
        {"other escapes",
         R"({"version": "1.4.2", "url": "https://h/a\u0020b.zip"})",
         {"escape sequences (\\u)", "names no package file"}},
        {"nested key first",
         R"({"meta": {"url": "https://h/old.zip"}, "version": "1.4.2", "url": "https://h/new.zip"})",
         {"before its top-level member"}},
        {"key name as an earlier value",
         R"({"kind": "url", "version": "1.4.2", "url": "https://h/new.zip"})",
         {"before its top-level member", "not an absolute http"}},
        {"only nested",
         R"({"version": "1.4.2", "meta": {"url": "https://h/old.zip"}})",
         {"no top-level member"}},
        {"duplicate member",
         R"({"version": "1.4.2", "url": "https://h/a.zip", "url": "https://h/b.zip"})",
         {"top-level member 2 times"}},
        {"cut at capacity",
         "{\"version\": \"1.4.2\", \"url\": \"" + long_url + "\"}",
         {"1514 bytes: the launcher cuts it to its first 1023"}},
        {"version cut",
         "{\"version\": \"" + std::string(70, '1') + "\", \"url\": \"https://h/a.zip\"}",
         {"70 bytes", "does not parse"}},
        {"unparsable version",
         R"({"version": "1.4.2-beta", "url": "https://h/a.zip"})",
         {"does not parse as a version"}},
        {"package url without a file name",
         R"({"version": "1.4.2", "url": "https://h/downloads/"})",
         {"names no package file"}},
        {"package url with only a query",
         R"({"version": "1.4.2", "url": "https://h/?get=x.zip"})",
         {"names no package file"}},
        {"package named like the product",
         R"({"version": "1.4.2", "url": "https://h/VELDA.EXE"})",
         {"a file of the installation"}},
        {"version a number",
         R"({"version": 1, "url": "https://h/a.zip"})",
         {"is a number, not a string", "no usable manifest"}},
        {"missing url", R"({"version": "1.4.2"})", {"no usable manifest"}},
        {"not json", "version: 1.4.2", {"not valid JSON", "no usable manifest"}},
        {"not json, but the launcher reads it",
         R"({"version": "1.4.2", "url": "https://h/a.zip",})",
         {"not valid JSON"}},
        {"array root", R"(["version", "url"])", {"not a JSON object", "no usable manifest"}},
        {"NUL byte",
         std::string("{\"version\": \"1.4.2\", \"url\": \"https://h/a.zip\"}\0x", 48),
         {"NUL byte", "not valid JSON"}},
        {"incomplete changed files",
         R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.1"})",
         {"incomplete"}},
        {"empty base url",
         std::string(
             R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.1", )") +
             R"("changed_files_url": "https://h/l.txt", "changed_files_base_url": ""})",
         {"incomplete"}},
        {"previous version not older",
         std::string(
             R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.2", )") +
             R"("changed_files_url": "https://h/l.txt", "changed_files_base_url": "https://h/f"})",
         {"not older"}},
        {"previous version with blanks",
         std::string(
             R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.1 ", )") +
             R"("changed_files_url": "https://h/l.txt", "changed_files_base_url": "https://h/f"})",
         {"blanks around"}},
        {"list url without a file",
         std::string(
             R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.1", )") +
             R"("changed_files_url": "https://h/changes/", "changed_files_base_url": "https://h/f"})",
         {"names no file"}},
        {"list saved over the stamp",
         std::string(
             R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_from_version": "1.4.1", )") +
             R"("changed_files_url": "https://h/velda.version", "changed_files_base_url": "https://h/f"})",
         {"over a file of the installation"}},
    };
    for (const TrapCase& c : cases) {
        ManifestAnalysis analysis;
        analyze_manifest(c.text, &analysis);
        std::string all = joined(analysis.traps);
        for (const char* part : c.parts) {
            EXPECT_NE(all.find(part), std::string::npos) << c.name << ": no \"" << part << "\" in\n"
                                                         << all;
        }
        for (const std::string& trap : analysis.traps) {
            bool expected = false;
            for (const char* part : c.parts) {
                expected = expected || trap.find(part) != std::string::npos;
            }
            EXPECT_TRUE(expected) << c.name << ": unexpected trap: " << trap;
        }
    }
}

TEST(ManifestTraps, NullOptionalMembersAreOnlyANote) {
    ManifestAnalysis analysis;
    analyze_manifest(R"({"version": "1.4.2", "url": "https://h/a.zip", "changed_files_url": null})",
                     &analysis);
    EXPECT_TRUE(analysis.traps.empty()) << joined(analysis.traps);
    ASSERT_EQ(analysis.notes.size(), 1u);
    EXPECT_NE(analysis.notes[0].find("null"), std::string::npos);
}

TEST(ManifestTraps, FieldsShowTheLauncherReadingAndWhereItMatched) {
    const std::string text =
        R"({"meta": {"version": "0.0.1"}, "version": "1.4.2", "url": "https://h/a.zip"})";
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    const FieldReading& version = analysis.fields[0];
    EXPECT_STREQ(version.key, "version");
    EXPECT_TRUE(version.found);
    EXPECT_EQ(version.value, "0.0.1");
    EXPECT_EQ(version.found_offset, text.find("\"version\""));
    ASSERT_GE(version.member, 0);
    EXPECT_EQ(analysis.scan.members[static_cast<size_t>(version.member)].raw, "1.4.2");
    const FieldReading& base = analysis.fields[4];
    EXPECT_FALSE(base.found);
    EXPECT_EQ(base.member, -1);
    EXPECT_EQ(analysis.package_file_name, "a.zip");
}

// Plain fields rather than a LauncherSituation: GCC 12 at -O2 warns falsely about std::string
// members of aggregates in a local array.
struct SituationRow {
    bool install_folder_existed;
    bool stamp_present;
    const char* installed_version;
    bool product_present;
};

struct PredictionRow {
    const char* name;
    SituationRow situation;
    bool update_needed;
    std::vector<UpdateMeans> means;
    std::vector<std::string> log_lines;
};

TEST(LauncherPrediction, FollowsTheDecisionAndTheOrderOfMeans) {
    using M = UpdateMeans;
    const std::string not_applicable =
        "Changed-files no aplica para version local, se usara ZIP completo.";
    const PredictionRow rows[] = {
        {"from the list's version",
         {true, true, "1.4.1", true},
         true,
         {M::ChangedFiles, M::DirectExecutable, M::Package},
         {}},
        {"other version",
         {true, true, "1.3.0", true},
         true,
         {M::DirectExecutable, M::Package},
         {not_applicable}},
        {"list's version without Velda.exe",
         {true, true, "1.4.1", false},
         true,
         {M::DirectExecutable, M::Package},
         {}},
        {"first installation", {false, false, "", false}, true, {M::Package}, {}},
        {"no stamp",
         {true, false, "", true},
         true,
         {M::DirectExecutable, M::Package},
         {not_applicable}},
        {"up to date", {true, true, "1.4.2", true}, false, {}, {"Version local al dia."}},
        {"newer",
         {true, true, "2.0.0", true},
         false,
         {},
         {"Version local (2.0.0) es mayor que server (1.4.2); se mantiene local.",
          "Version local al dia."}},
        {"newer without Velda.exe",
         {true, true, "2.0.0", false},
         true,
         {M::DirectExecutable, M::Package},
         {"Version local (2.0.0) es mayor que server (1.4.2); se mantiene local."}},
    };
    ManifestAnalysis analysis;
    analyze_manifest(good_manifest(), &analysis);
    for (const PredictionRow& row : rows) {
        const SituationRow& given = row.situation;
        LauncherSituation situation{given.install_folder_existed, given.stamp_present,
                                    given.installed_version, given.product_present};
        LauncherPrediction p = predict_launcher_run(analysis.manifest, situation);
        EXPECT_TRUE(p.manifest_usable) << row.name;
        EXPECT_FALSE(p.package_name_box) << row.name;
        EXPECT_EQ(p.update_needed, row.update_needed) << row.name;
        EXPECT_EQ(p.means, row.means) << row.name;
        EXPECT_EQ(p.log_lines, row.log_lines) << row.name;
    }
}

TEST(LauncherPrediction, UnusableManifestAndNamelessPackage) {
    ManifestAnalysis invalid;
    analyze_manifest(R"({"version": "1.4.2"})", &invalid);
    LauncherPrediction p = predict_launcher_run(invalid.manifest, {true, true, "1.0.0", true});
    EXPECT_FALSE(p.manifest_usable);
    EXPECT_EQ(p.log_lines, std::vector<std::string>{"Manifest invalido, lanzando version local."});

    ManifestAnalysis nameless;
    analyze_manifest(R"({"version": "1.4.2", "url": "https://h/d/"})", &nameless);
    // Even an up-to-date launcher stops with the box.
    p = predict_launcher_run(nameless.manifest, {true, true, "1.4.2", true});
    EXPECT_TRUE(p.package_name_box);
    EXPECT_TRUE(p.means.empty());
}

TEST(StampText, IsReadAsTheLauncherReadsTheStamp) {
    EXPECT_EQ(stamp_text_as_read("1.4.1\r\n"), "1.4.1");
    EXPECT_EQ(stamp_text_as_read("\xEF\xBB\xBF 1.4.1"), "1.4.1");
    EXPECT_EQ(stamp_text_as_read(std::string(70, '1')), std::string(63, '1'));
    EXPECT_EQ(stamp_text_as_read(""), "");
}

}  // namespace
