#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "json_scan.h"
#include "launcher/update_plan.h"
#include "manifest/manifest.h"
#include "manifest/release_details.h"
#include "manifest_writer.h"

namespace velda {

// What the launcher reads for one key, set beside the top-level member of that name.
struct FieldReading {
    const char* key;
    size_t capacity;
    bool found;           // json_extract_string's result
    std::string value;    // as the launcher holds it, cut to capacity
    size_t raw_length;    // length before the cut
    size_t found_offset;  // where the launcher's search matched the quoted name
    int member;           // index into the scan's top-level members, or -1
};

struct ManifestAnalysis {
    Manifest manifest;  // the launcher's own reading
    FieldReading fields[kManifestKeyCount];
    JsonScan scan;
    std::string package_file_name;
    std::string list_file_name;
    std::vector<std::string> traps;  // each makes the release unsound
    std::vector<std::string> notes;  // worth knowing, harmless
};

void analyze_manifest(std::string_view text, ManifestAnalysis* analysis);

// How the launcher finds the machine: the install folder, its stamp and its Velda.exe.
struct LauncherSituation {
    bool install_folder_existed;
    bool stamp_present;
    std::string installed_version;  // as read_version_stamp would give it
    bool product_present;
};

struct LauncherPrediction {
    bool manifest_usable;
    bool package_name_box;  // "No se pudo obtener nombre del ZIP..." ends the run
    bool update_needed;
    std::vector<std::string> log_lines;  // the decision's lines, in order
    std::vector<UpdateMeans> means;      // the launcher's plan_update
};

// The stamp text as read_version_stamp leaves it.
std::string stamp_text_as_read(std::string_view text);

// details: what a launcher that reads the newer members goes by (null: one that does not);
// keyed: whether it holds release keys.
LauncherPrediction predict_launcher_run(const Manifest& manifest,
                                        const LauncherSituation& situation,
                                        const ReleaseDetails* details = nullptr,
                                        bool keyed = false);

}  // namespace velda
