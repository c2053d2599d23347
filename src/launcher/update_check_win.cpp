#include <windows.h>

#include <ctime>

#include "common/fs.h"
#include "common/log.h"
#include "common/text.h"
#include "common/wide.h"
#include "launcher/run_state.h"
#include "launcher/server_urls.h"
#include "launcher/update_decision.h"
#include "launcher/update_plan.h"
#include "net/http.h"
#include "net/url_filename.h"

namespace {

// Downloads latest.json with a query that changes every second, so no cache answers it.
bool fetch_manifest(Manifest* manifest) {
    log_line("Consultando latest.json...");
    char request_url[768] = {};
    format_bounded(request_url, sizeof(request_url), "%s%st=%lld", kManifestUrl, "?",
                   static_cast<long long>(_time64(nullptr)));
    wchar_t wide_url[512];
    utf8_to_wide(request_url, wide_url, 512);

    HttpBody body;
    TransferResult result = http_get_to_memory_with_progress(wide_url, &body, nullptr, nullptr);
    if (!result) {
        log_transfer_failure(request_url, result);
        return false;
    }
    if (body.data() == nullptr) {
        log_detail("Descarga sin cuerpo: %s", request_url);
        return false;
    }
    manifest_extract(body.data(), manifest);
    return true;
}

}  // namespace

int run_update_check(LauncherRun* run) {
    if (!fetch_manifest(&run->manifest)) {
        log_line("No se pudo descargar manifest, lanzando version local.");
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
