#include "launcher/run_decision.h"

#include "common/text.h"
#include "launcher/signature_reason.h"
#include "launcher/update_decision.h"
#include "net/url_filename.h"

namespace velda {

namespace {

constexpr char kManifestNotDownloadedLine[] =
    "No se pudo descargar manifest, lanzando version local.";
constexpr char kSignatureVerifiedLine[] = "Firma de latest.json verificada.";
constexpr char kSignatureNotDownloadedReason[] = "no se pudo descargar latest.json.sig";

void add_line(RunDecision* decision, const char* line) {
    copy_bounded(decision->lines[decision->line_count++], kDecisionLineSize, line);
}

void set_refused_line(RunDecision* decision, const char* reason) {
    format_bounded(decision->arrival_line, kDecisionLineSize,
                   "latest.json rechazado: %s; lanzando version local.", reason);
}

// False when the manifest does not count: the arrival line then says why.
bool manifest_counts(const ManifestArrival& arrival, RunDecision* decision) {
    if (!arrival.downloaded) {
        copy_bounded(decision->arrival_line, kDecisionLineSize, kManifestNotDownloadedLine);
        return false;
    }
    if (!arrival.keyed) {
        return true;
    }
    if (!arrival.signature_downloaded) {
        set_refused_line(decision, kSignatureNotDownloadedReason);
        return false;
    }
    if (arrival.signature != SignatureCheck::Verified) {
        set_refused_line(decision, signature_reason(arrival.signature, ReasonLanguage::Spanish));
        return false;
    }
    if (arrival.refusal != ReleaseRefusal::None) {
        set_refused_line(decision,
                         release_refusal_reason(arrival.refusal, ReasonLanguage::Spanish));
        return false;
    }
    copy_bounded(decision->arrival_line, kDecisionLineSize, kSignatureVerifiedLine);
    return true;
}

}  // namespace

RunDecision decide_run(const ManifestArrival& arrival, const Manifest& manifest,
                       const InstalledState& installed, const ReleaseDetails* details) {
    RunDecision decision = {};
    if (!manifest_counts(arrival, &decision)) {
        decision.course = RunCourse::StartLocalUnfetched;
        return decision;
    }
    decision.downloads_need_hashes = arrival.keyed;
    if (!manifest_is_usable(manifest)) {
        decision.course = RunCourse::StartLocalInvalid;
        add_line(&decision, kManifestInvalidLine);
        return decision;
    }
    char package_name[kPathSize];
    extract_filename_from_url(manifest.url, package_name);
    if (package_name[0] == '\0') {
        decision.course = RunCourse::PackageNameBox;
        return decision;
    }
    UpdateDecision update = decide_update(installed.stamp_present, installed.installed_version,
                                          manifest.version, installed.product_present);
    if (update.local_newer) {
        format_local_newer_line(installed.installed_version, manifest.version,
                                decision.lines[decision.line_count++]);
    }
    if (!update.update_needed) {
        decision.course = RunCourse::UpToDate;
        add_line(&decision, kUpToDateLine);
        return decision;
    }
    decision.course = RunCourse::Update;
    decision.plan = plan_update(manifest, {installed.installed_version, installed.product_present,
                                           installed.install_folder_existed,
                                           installed.package_unfinished, arrival.keyed, details});
    return decision;
}

}  // namespace velda
