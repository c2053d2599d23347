#include <windows.h>

#include <ctime>

#include "common/crypto.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"
#include "common/wide.h"
#include "launcher/manifest_deadline.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_decision.h"
#include "launcher/update_plan.h"
#include "net/http.h"
#include "net/url_filename.h"

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
// GetTickCount64 reading); why it failed goes to the log file.
bool fetch_within_manifest_limit(const char* request_url, HttpBody* body, uint64_t deadline_ms) {
    wchar_t wide_url[512];
    utf8_to_wide(request_url, wide_url, 512);
    uint64_t now = GetTickCount64();
    TransferResult result;
    result.stage = TransferStage::TimeLimit;
    if (now < deadline_ms) {
        uint32_t time_limit = static_cast<uint32_t>(deadline_ms - now);
        result = http_get_to_memory_with_progress(wide_url, body, nullptr, nullptr, time_limit);
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

enum class ManifestFetch { Fetched, NotDownloaded, NotVouchedFor };

// The reason a keyed launcher gives for a manifest it will not use.
const char* signature_refusal_reason(SignatureCheck check) {
    switch (check) {
        case SignatureCheck::Verified:
            return "verificada";
        case SignatureCheck::NoKeys:
            return "sin claves de publicacion";
        case SignatureCheck::BadKey:
            return "clave de publicacion ilegible";
        case SignatureCheck::Malformed:
            return "firma mal formada";
        case SignatureCheck::WrongKey:
            return "firma de otra clave o de otro contenido";
        case SignatureCheck::Failed:
            return "CNG no disponible";
    }
    return "desconocido";
}

void log_manifest_refused(const char* reason) {
    char line[192] = {};
    format_bounded(line, sizeof(line), "latest.json rechazado: %s; lanzando version local.",
                   reason);
    log_line(line);
}

// With release keys compiled in, the manifest counts only with its detached signature, fetched
// from beside it, made over its exact bytes by one of those keys.
bool manifest_vouched_for(const HttpBody& manifest_body, const char* query, uint64_t deadline_ms) {
    char request_url[768] = {};
    format_bounded(request_url, sizeof(request_url), "%s%s%s", kManifestUrl,
                   kManifestSignatureSuffix, query);
    HttpBody signature;
    if (!fetch_within_manifest_limit(request_url, &signature, deadline_ms)) {
        log_manifest_refused("no se pudo descargar latest.json.sig");
        return false;
    }
    SignatureCheck check =
        check_detached_signature(manifest_body.data(), manifest_body.size(),
                                 reinterpret_cast<const uint8_t*>(signature.data()),
                                 signature.size(), kReleasePublicKeys, kReleasePublicKeyCount);
    if (check != SignatureCheck::Verified) {
        log_manifest_refused(signature_refusal_reason(check));
        return false;
    }
    log_line("Firma de latest.json verificada.");
    return true;
}

// Downloads latest.json with a query that changes every second, so no cache answers it.
ManifestFetch fetch_manifest(LauncherRun* run) {
    log_line("Consultando latest.json...");
    // The manifest and its signature share one time limit.
    uint64_t deadline_ms = GetTickCount64() + manifest_time_limit_ms(ms_since_launch());
    char query[32] = {};
    format_bounded(query, sizeof(query), "?t=%lld", static_cast<long long>(_time64(nullptr)));
    char request_url[768] = {};
    format_bounded(request_url, sizeof(request_url), "%s%s", kManifestUrl, query);
    HttpBody body;
    if (!fetch_within_manifest_limit(request_url, &body, deadline_ms)) {
        return ManifestFetch::NotDownloaded;
    }
    run->manifest_signed = kReleasePublicKeyCount > 0;
    if (run->manifest_signed && !manifest_vouched_for(body, query, deadline_ms)) {
        return ManifestFetch::NotVouchedFor;
    }
    manifest_extract(body.data(), &run->manifest);
    return ManifestFetch::Fetched;
}

}  // namespace

int run_update_check(LauncherRun* run) {
    switch (fetch_manifest(run)) {
        case ManifestFetch::Fetched:
            break;
        case ManifestFetch::NotDownloaded:
            log_line("No se pudo descargar manifest, lanzando version local.");
            return run_final_stage(run, FinalVariant::ManifestNotDownloaded);
        case ManifestFetch::NotVouchedFor:
            return run_final_stage(run, FinalVariant::ManifestNotDownloaded);
    }
    const Manifest& manifest = run->manifest;
    if (!manifest_is_usable(manifest)) {
        log_line(kManifestInvalidLine);
        return run_final_stage(run, FinalVariant::ManifestInvalid);
    }

    char found_line[128] = {};
    format_bounded(found_line, sizeof(found_line), "Version encontrada en server: %s",
                   manifest.version);
    log_line(found_line);

    extract_filename_from_url(manifest.url, run->package_name);
    if (run->package_name[0] == '\0') {
        show_error_box(kPackageNameBox);
        return 1;
    }

    const InstallPaths& paths = run->paths;
    run->install_folder_existed = paths.fits && directory_exists(paths.install_folder);
    if (!paths.fits || !ensure_directory(paths.install_folder)) {
        show_error_box("No se pudo crear carpeta de instalacion velda.");
        return 1;
    }
    run->stamp_present = read_version_stamp(paths.stamp_path, run->installed_version);
    run->product_present = file_exists_not_directory(paths.product_path);
    log_detail("Version instalada: %s; version del servidor: %s; cambios desde: %s",
               run->stamp_present ? run->installed_version : "(sin velda.version)",
               manifest.version,
               manifest.changed_from_version_found ? manifest.changed_from_version : "(no hay)");

    UpdateDecision decision = decide_update(run->stamp_present, run->installed_version,
                                            manifest.version, run->product_present);
    if (decision.local_newer) {
        char newer_line[kLocalNewerLineSize] = {};
        format_local_newer_line(run->installed_version, manifest.version, newer_line);
        log_line(newer_line);
    }

    if (run->popup.present()) {
        const char* installed =
            run->installed_version[0] ? run->installed_version : popup_tr(run->spanish, "none");
        run->popup.set_versions(installed, manifest.version);
    }

    if (!decision.update_needed) {
        log_line(kUpToDateLine);
        return run_final_stage(run, FinalVariant::Normal);
    }
    run->popup.set_message(popup_tr(run->spanish, "downloading"));
    if (!install_update(run)) {
        return 1;
    }
    return run_final_stage(run, FinalVariant::Normal);
}
