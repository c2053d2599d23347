#include <windows.h>

#include <ctime>
#include <optional>
#include <string>

#include "common/crypto.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"
#include "common/wide.h"
#include "launcher/manifest_deadline.h"
#include "install/download_journal.h"
#include "launcher/accepted_release_file.h"
#include "launcher/release_gate.h"
#include "launcher/run_decision.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_plan.h"
#include "net/http.h"
#include "net/url_filename.h"

namespace velda {

namespace {

uint64_t filetime_units(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Since this process was created, so that a slow start-up counts against the manifest's time.
uint64_t ms_since_launch() {
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    uint64_t start = filetime_units(created);
    uint64_t current = filetime_units(now);
    return current > start ? (current - start) / 10000 : 0;  // 100 ns units
}

// One GET of the manifest phase, inside what is left of the phase's time (deadline_ms, a
// GetTickCount64 reading) and at most max_bytes long; why it failed goes to the log file.
bool fetch_within_manifest_limit(const char* request_url, HttpBody* body, uint64_t deadline_ms,
                                 uint64_t max_bytes) {
    wchar_t wide_url[512];
    utf8_to_wide(request_url, wide_url, 512);
    uint64_t now = GetTickCount64();
    TransferResult result;
    result.stage = TransferStage::TimeLimit;
    if (now < deadline_ms) {
        uint32_t time_limit = static_cast<uint32_t>(deadline_ms - now);
        result = http_get_to_memory_with_progress(wide_url, body, nullptr, nullptr, time_limit,
                                                  max_bytes);
    }
    if (!result) {
        log_transfer_failure(request_url, result);
        return false;
    }
    if (body->data() == nullptr) {
        log_detail("Descarga sin cuerpo: %s", request_url);
        return false;
    }
    return true;
}

// With release keys compiled in, the manifest counts only with its detached signature, fetched
// from beside it, made over its exact bytes by one of those keys.
void check_signature(const HttpBody& manifest_body, const char* query, uint64_t deadline_ms,
                     ManifestArrival* arrival) {
    char request_url[768] = {};
    format_bounded(request_url, sizeof(request_url), "%s%s%s", kManifestUrl,
                   kManifestSignatureSuffix, query);
    HttpBody signature;
    arrival->signature_downloaded =
        fetch_within_manifest_limit(request_url, &signature, deadline_ms, kSignatureBodyBound);
    if (arrival->signature_downloaded) {
        arrival->signature =
            check_detached_signature(manifest_body.data(), manifest_body.size(),
                                     reinterpret_cast<const uint8_t*>(signature.data()),
                                     signature.size(), kReleasePublicKeys, kReleasePublicKeyCount);
    }
}

void utc_time_text(char out[32]) {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    format_bounded(out, 32, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay,
                   now.wHour, now.wMinute, now.wSecond);
}

// A verified manifest still counts only for this product, before it expires, and when it is not
// older than the newest release this user took; *raised is set when it is newer than that.
ReleaseRefusal judge_verified_release(const HttpBody& body, const Manifest& manifest,
                                      std::optional<AcceptedRelease>* raised) {
    ReleaseIdentity identity;
    std::string why;
    bool identity_read =
        read_release_identity(std::string_view(body.data(), body.size()), &identity, &why);
    if (!identity_read) {
        log_detail("latest.json: producto o fechas ilegibles: %s", why.c_str());
    }
    AcceptedRelease accepted;
    bool has_record = load_accepted_release(kProductId, &accepted);
    char now[32];
    utc_time_text(now);
    ReleaseOffer offer = {manifest.version, identity_read ? &identity : nullptr};
    const AcceptedRelease* record = has_record ? &accepted : nullptr;
    ReleaseRefusal refusal = judge_release(offer, {kProductId, kMinimumVersion, record, now});
    if (refusal == ReleaseRefusal::None && offer_raises_record(offer, record)) {
        *raised = AcceptedRelease{manifest.version, identity.issued};
    }
    return refusal;
}

// Downloads latest.json with a query that changes every second, so no cache answers it; the
// manifest is read only when it counts. raised: keyed, the record of the newest release taken
// once this one counts.
ManifestArrival fetch_manifest(LauncherRun* run, std::optional<AcceptedRelease>* raised) {
    Manifest* manifest = &run->manifest;
    log_line("Consultando latest.json...");
    // The manifest and its signature share one time limit.
    uint64_t deadline_ms = GetTickCount64() + manifest_time_limit_ms(ms_since_launch());
    char query[32] = {};
    format_bounded(query, sizeof(query), "?t=%lld", static_cast<long long>(_time64(nullptr)));
    char request_url[768] = {};
    format_bounded(request_url, sizeof(request_url), "%s%s", kManifestUrl, query);
    ManifestArrival arrival = {};
    HttpBody body;
    arrival.downloaded =
        fetch_within_manifest_limit(request_url, &body, deadline_ms, kManifestBodyBound);
    if (!arrival.downloaded) {
        return arrival;
    }
    arrival.keyed = kReleasePublicKeyCount > 0;
    if (arrival.keyed) {
        check_signature(body, query, deadline_ms, &arrival);
        if (!arrival.signature_downloaded || arrival.signature != SignatureCheck::Verified) {
            return arrival;
        }
    }
    manifest_extract(body.data(), manifest);
    if (arrival.keyed) {
        arrival.refusal = judge_verified_release(body, *manifest, raised);
        if (arrival.refusal != ReleaseRefusal::None) {
            *manifest = Manifest{};
            return arrival;
        }
    }
    std::string_view text(body.data(), body.size());
    std::string why;
    run->release_readable = read_release_details(text, &run->release, &why);
    if (!run->release_readable) {
        log_detail("latest.json: no se leyeron los tamanos ni los cambios por version: %s",
                   why.c_str());
    }
    // Read on its own, so that a member this launcher cannot read never keeps it from the
    // launcher that can.
    if (arrival.keyed && !read_offered_launcher(text, &run->offered_launcher, &why)) {
        log_detail("latest.json: no se leyo el lanzador ofrecido: %s", why.c_str());
    }
    return arrival;
}

// The installation as it stands; a folder that is not there yet holds none of it.
InstalledState read_installed_state(LauncherRun* run) {
    const InstallPaths& paths = run->paths;
    run->install_folder_existed = paths.fits && directory_exists(paths.install_folder);
    if (paths.fits) {
        run->stamp_present = read_version_stamp(paths.stamp_path, run->installed_version);
        run->product_present = file_exists_not_directory(paths.product_path);
    }
    bool unfinished = paths.fits && journal_package_installation_pending(paths.install_folder);
    return {run->install_folder_existed, run->stamp_present, run->installed_version,
            run->product_present, unfinished};
}

void log_found_version(const Manifest& manifest) {
    char found_line[128] = {};
    format_bounded(found_line, sizeof(found_line), "Version encontrada en server: %s",
                   manifest.version);
    log_line(found_line);
}

void log_installed_and_server(const LauncherRun& run) {
    const Manifest& manifest = run.manifest;
    log_detail("Version instalada: %s; version del servidor: %s; cambios desde: %s",
               run.stamp_present ? run.installed_version : "(sin velda.version)", manifest.version,
               manifest.changed_from_version_found ? manifest.changed_from_version : "(no hay)");
}

void log_lines(const RunDecision& decision) {
    for (size_t i = 0; i < decision.line_count; ++i) {
        log_line(decision.lines[i]);
    }
}

void show_versions(LauncherRun* run) {
    if (run->status_window.present()) {
        const char* installed = run->installed_version[0] ? run->installed_version
                                                          : status_window_tr(run->spanish, "none");
        run->status_window.set_versions(installed, run->manifest.version);
    }
}

// Only a manifest the run goes by is taken. A record that cannot be written leaves the older
// one, which still bars what it bars.
void record_if_taken(const RunDecision& decision, const std::optional<AcceptedRelease>& raised) {
    bool taken = decision.course == RunCourse::UpToDate || decision.course == RunCourse::Update;
    if (raised && taken && !save_accepted_release(kProductId, *raised)) {
        log_detail("La version aceptada %s queda sin registrar", raised->version.c_str());
    }
}

}  // namespace

int run_update_check(LauncherRun* run) {
    if (!recover_cut_update(run)) {
        return 1;
    }
    settle_launcher_hand_over(run);
    std::optional<AcceptedRelease> raised;
    ManifestArrival arrival = fetch_manifest(run, &raised);
    InstalledState installed = read_installed_state(run);
    RunDecision decision = decide_run(arrival, run->manifest, installed,
                                      run->release_readable ? &run->release : nullptr);
    if (decision.arrival_line[0] != '\0') {
        log_line(decision.arrival_line);
    }
    record_if_taken(decision, raised);
    run->manifest_signed = decision.downloads_need_hashes;
    switch (decision.course) {
        case RunCourse::StartLocalUnfetched:
            return run_final_stage(run, FinalVariant::ManifestNotDownloaded);
        case RunCourse::StartLocalInvalid:
            log_lines(decision);
            return run_final_stage(run, FinalVariant::ManifestInvalid);
        case RunCourse::PackageNameBox:
        case RunCourse::UpToDate:
        case RunCourse::Update:
            break;
    }
    const Manifest& manifest = run->manifest;
    log_found_version(manifest);
    extract_filename_from_url(manifest.url, run->package_name);
    if (decision.course == RunCourse::PackageNameBox) {
        show_error_box(kPackageNameBox);
        return 1;
    }
    if (!run->paths.fits || !ensure_directory(run->paths.install_folder)) {
        show_error_box("No se pudo crear carpeta de instalacion velda.");
        return 1;
    }
    log_installed_and_server(*run);
    log_lines(decision);
    show_versions(run);
    // A newer launcher takes the run over before anything of the product changes.
    if (hand_over_to_offered_launcher(run)) {
        return 0;
    }
    if (decision.course == RunCourse::UpToDate) {
        return run_final_stage(run, FinalVariant::Normal);
    }
    run->status_window.set_message(status_window_tr(run->spanish, "downloading"));
    switch (install_update(run, decision.plan)) {
        case UpdateOutcome::Installed:
            break;
        case UpdateOutcome::Failed:
            return 1;
        case UpdateOutcome::Postponed:
            run->status_window.destroy();
            return 0;
    }
    return run_final_stage(run, FinalVariant::Normal);
}

}  // namespace velda
