#pragma once

#include <cstddef>

#include "common/crypto.h"
#include "launcher/release_gate.h"
#include "launcher/update_plan.h"
#include "manifest/manifest.h"

namespace velda {

// How latest.json reached the launcher, as its release keys judge it.
struct ManifestArrival {
    bool downloaded;            // the GET of latest.json succeeded
    bool keyed;                 // release keys are compiled in: only a signed manifest counts
    bool signature_downloaded;  // keyed: latest.json.sig arrived
    SignatureCheck signature;   // keyed and arrived: what the check made of it
    // Keyed and verified: what judge_release made of the release it describes.
    ReleaseRefusal refusal = ReleaseRefusal::None;
};

// How the launcher finds the machine: the install folder, its stamp, its Velda.exe, the journal.
struct InstalledState {
    bool install_folder_existed;
    bool stamp_present;
    const char* installed_version;  // as read_version_stamp left it; "" without a stamp
    bool product_present;
    // An earlier package installation never reached its stamp (the journal's mark).
    bool package_unfinished;
};

enum class RunCourse {
    StartLocalUnfetched,  // no manifest to go by: FinalVariant::ManifestNotDownloaded
    StartLocalInvalid,    // FinalVariant::ManifestInvalid
    PackageNameBox,       // kPackageNameBox, then exit code 1
    UpToDate,             // starts the installed product
    Update,               // carries out plan, then starts the product
};

constexpr size_t kDecisionLineSize = kLocalNewerLineSize;

struct RunDecision {
    RunCourse course;
    bool downloads_need_hashes;  // a release key vouched for the manifest
    // What the fetch came to, logged first; empty when nothing is said.
    char arrival_line[kDecisionLineSize];
    // For StartLocalInvalid the invalid line; for UpToDate and Update the version comparison's
    // lines, logged once the installed state was looked at.
    char lines[2][kDecisionLineSize];
    size_t line_count;
    UpdatePlan plan;  // course Update
};

// What the run does with the manifest it fetched; manifest is only read when it arrived and
// counts. details: what a newer release tool wrote into it, null when there is none to read.
[[nodiscard]] RunDecision decide_run(const ManifestArrival& arrival, const Manifest& manifest,
                                     const InstalledState& installed,
                                     const ReleaseDetails* details = nullptr);

}  // namespace velda
