#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "launcher/run_decision.h"

using namespace velda;

namespace {

using M = UpdateMeans;

constexpr ManifestArrival kUnkeyed = {true, false, false, SignatureCheck::NoKeys};
constexpr ManifestArrival kVerified = {true, true, true, SignatureCheck::Verified};

Manifest manifest_from(const char* json) {
    Manifest manifest;
    manifest_extract(json, &manifest);
    return manifest;
}

const char kRelease[] =
    R"({"version": "1.4.2", "url": "https://h/d/velda-1.4.2.zip", "changed_from_version": )"
    R"("1.4.1", "changed_files_url": "https://h/c/l.txt", "changed_files_base_url": "https://h/f"})";

std::vector<std::string> lines_of(const RunDecision& decision) {
    return std::vector<std::string>(decision.lines, decision.lines + decision.line_count);
}

// The manifest's arrival: refused ones never count, whatever they hold.
TEST(RunDecision, ArrivalDecidesWhetherTheManifestCounts) {
    struct Row {
        const char* name;
        ManifestArrival arrival;
        RunCourse course;
        const char* arrival_line;
        bool hashes_required;
    };
    const char* refused = "latest.json rechazado: ";
    const Row rows[] = {
        {"not downloaded",
         {false, true, false, SignatureCheck::Verified},
         RunCourse::StartLocalUnfetched,
         "No se pudo descargar manifest, lanzando version local.",
         false},
        {"no signature",
         {true, true, false, SignatureCheck::Verified},
         RunCourse::StartLocalUnfetched,
         "no se pudo descargar latest.json.sig; lanzando version local.",
         false},
        {"malformed",
         {true, true, true, SignatureCheck::Malformed},
         RunCourse::StartLocalUnfetched,
         "firma mal formada; lanzando version local.",
         false},
        {"wrong key",
         {true, true, true, SignatureCheck::WrongKey},
         RunCourse::StartLocalUnfetched,
         "firma de otra clave o de otro contenido; lanzando version local.",
         false},
        {"no keys",
         {true, true, true, SignatureCheck::NoKeys},
         RunCourse::StartLocalUnfetched,
         "sin claves de publicacion; lanzando version local.",
         false},
        {"bad key",
         {true, true, true, SignatureCheck::BadKey},
         RunCourse::StartLocalUnfetched,
         "clave de publicacion ilegible; lanzando version local.",
         false},
        {"CNG failed",
         {true, true, true, SignatureCheck::Failed},
         RunCourse::StartLocalUnfetched,
         "CNG no disponible; lanzando version local.",
         false},
        {"another product",
         {true, true, true, SignatureCheck::Verified, ReleaseRefusal::OtherProduct},
         RunCourse::StartLocalUnfetched,
         "publicacion de otro producto; lanzando version local.",
         false},
        {"replayed",
         {true, true, true, SignatureCheck::Verified, ReleaseRefusal::OlderThanAccepted},
         RunCourse::StartLocalUnfetched,
         "version anterior a la ya aceptada; lanzando version local.",
         false},
        {"expired",
         {true, true, true, SignatureCheck::Verified, ReleaseRefusal::Expired},
         RunCourse::StartLocalUnfetched,
         "publicacion caducada; lanzando version local.",
         false},
        {"below the minimum",
         {true, true, true, SignatureCheck::Verified, ReleaseRefusal::BelowMinimum},
         RunCourse::StartLocalUnfetched,
         "version inferior a la minima; lanzando version local.",
         false},
        {"verified", kVerified, RunCourse::Update, "Firma de latest.json verificada.", true},
        {"unkeyed", kUnkeyed, RunCourse::Update, "", false},
    };
    Manifest release = manifest_from(kRelease);
    InstalledState first = {false, false, "", false, false};
    for (const Row& row : rows) {
        RunDecision decision = decide_run(row.arrival, release, first);
        EXPECT_EQ(decision.course, row.course) << row.name;
        std::string line = decision.arrival_line;
        if (row.course == RunCourse::StartLocalUnfetched && row.arrival.downloaded) {
            EXPECT_EQ(line, refused + std::string(row.arrival_line)) << row.name;
        } else {
            EXPECT_EQ(line, row.arrival_line) << row.name;
        }
        EXPECT_EQ(decision.downloads_need_hashes, row.hashes_required) << row.name;
    }
}

// A manifest that counts: what the versions and the folder make of it.
TEST(RunDecision, ManifestAndInstallationGiveTheCourseAndItsLines) {
    const std::string newer =
        "Version local (2.0.0) es mayor que server (1.4.2); se mantiene local.";
    const std::string up_to_date = "Version local al dia.";
    struct Row {
        const char* name;
        const char* manifest;
        InstalledState installed;
        RunCourse course;
        std::vector<std::string> lines;
        std::vector<UpdateMeans> means;
        const char* opening_line;
    };
    const Row rows[] = {
        {"invalid",
         R"({"version": "1.4.2"})",
         {true, true, "1.4.2", true, false},
         RunCourse::StartLocalInvalid,
         {"Manifest invalido, lanzando version local."},
         {},
         nullptr},
        {"nameless package",
         R"({"version": "1.4.2", "url": "https://h/d/"})",
         {true, true, "1.4.2", true, false},
         RunCourse::PackageNameBox,
         {},
         {},
         nullptr},
        {"up to date",
         kRelease,
         {true, true, "1.4.2", true, false},
         RunCourse::UpToDate,
         {up_to_date},
         {},
         nullptr},
        {"newer",
         kRelease,
         {true, true, "2.0.0", true, false},
         RunCourse::UpToDate,
         {newer, up_to_date},
         {},
         nullptr},
        {"newer without Velda.exe",
         kRelease,
         {true, true, "2.0.0", false, false},
         RunCourse::Update,
         {newer},
         {M::DirectExecutable, M::Package},
         nullptr},
        {"from the list's version",
         kRelease,
         {true, true, "1.4.1", true, false},
         RunCourse::Update,
         {},
         {M::ChangedFiles, M::DirectExecutable, M::Package},
         nullptr},
        {"first installation",
         kRelease,
         {false, false, "", false, false},
         RunCourse::Update,
         {},
         {M::Package},
         nullptr},
        {"unfinished package",
         kRelease,
         {true, true, "1.4.1", true, true},
         RunCourse::Update,
         {},
         {M::Package},
         kUnfinishedPackageLine},
        {"other version",
         kRelease,
         {true, true, "1.3.0", true, false},
         RunCourse::Update,
         {},
         {M::DirectExecutable, M::Package},
         kChangedFilesNotApplicableLine},
    };
    for (const Row& row : rows) {
        RunDecision decision = decide_run(kUnkeyed, manifest_from(row.manifest), row.installed);
        EXPECT_EQ(decision.course, row.course) << row.name;
        EXPECT_STREQ(decision.arrival_line, "") << row.name;
        EXPECT_EQ(lines_of(decision), row.lines) << row.name;
        if (row.course != RunCourse::Update) {
            continue;
        }
        const UpdatePlan& plan = decision.plan;
        EXPECT_EQ(std::vector<UpdateMeans>(plan.means, plan.means + plan.means_count), row.means)
            << row.name;
        EXPECT_STREQ(plan.opening_line, row.opening_line) << row.name;
    }
}

}  // namespace

namespace {

// Which means may bring the installed version to the release whole.
TEST(UpdatePlan, TakesOnlyMeansThatMakeTheReleaseWhole) {
    ReleaseDetails recorded;
    recorded.direct_record_present = true;
    recorded.direct_from = {"1.4.0"};
    ChangeSet from_old;
    from_old.from_version = "1.3.0";
    from_old.list_url = "https://h/c/from-1.3.0.txt";
    from_old.base_url = "https://h/f-1.3.0";
    recorded.change_sets = {from_old};
    const ReleaseDetails older_tool;
    struct Row {
        const char* name;
        const char* installed;
        bool product_present;
        bool keyed;
        const ReleaseDetails* details;
        std::vector<UpdateMeans> means;
    };
    const Row rows[] = {
        {"keyless, older tool",
         "1.4.0",
         true,
         false,
         &older_tool,
         {M::DirectExecutable, M::Package}},
        {"keyless, unreadable details",
         "1.4.0",
         true,
         false,
         nullptr,
         {M::DirectExecutable, M::Package}},
        {"keyed, older tool", "1.4.0", true, true, &older_tool, {M::Package}},
        {"keyed, named for Velda.exe alone",
         "1.4.0",
         true,
         true,
         &recorded,
         {M::DirectExecutable, M::Package}},
        {"keyless, not named", "1.2.0", true, false, &recorded, {M::Package}},
        {"change set from the installed version",
         "1.3.0",
         true,
         true,
         &recorded,
         {M::ChangedFiles, M::Package}},
        {"change set without Velda.exe installed", "1.3.0", false, true, &recorded, {M::Package}},
        {"single fields still count",
         "1.4.1",
         true,
         true,
         &recorded,
         {M::ChangedFiles, M::Package}},
    };
    const Manifest manifest = manifest_from(kRelease);
    for (const Row& row : rows) {
        UpdatePlan plan = plan_update(
            manifest, {row.installed, row.product_present, true, false, row.keyed, row.details});
        EXPECT_EQ(std::vector<UpdateMeans>(plan.means, plan.means + plan.means_count), row.means)
            << row.name;
    }
}

}  // namespace
