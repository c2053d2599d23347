#include "check.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "check_details.h"
#include "check_downloads.h"
#include "common/release_keys.h"
#include "identity_check.h"
#include "launcher_check.h"
#include "launcher/update_plan.h"
#include "manifest_check.h"
#include "net/body_bound.h"
#include "release_origin.h"
#include "release_text.h"
#include "tree_files.h"

namespace velda {

namespace {

void print_field(const FieldReading& field) {
    std::printf("  %-24s %-10s \"%s\"\n", field.key, field.found ? "found" : "not found",
                printable(field.value).c_str());
}

const char* means_text(UpdateMeans means) {
    switch (means) {
        case UpdateMeans::ChangedFiles:
            return "changed files";
        case UpdateMeans::DirectExecutable:
            return "the executable alone from";
        case UpdateMeans::Package:
            return "the package";
    }
    return "?";
}

// Who the launcher is, and what it finds on the machine.
LauncherSituation situation_of(const CheckOptions& options, std::string* who) {
    if (options.no_install_folder) {
        *who = "no install folder (first installation)";
        return {false, false, "", false};
    }
    if (options.installed_given) {
        LauncherSituation situation = {true, true, stamp_text_as_read(options.installed), true};
        *who = "installed version \"" + printable(situation.installed_version) +
               "\" and Velda.exe in its install folder";
        return situation;
    }
    *who = "an install folder holding Velda.exe but no version stamp";
    return {true, false, "", true};
}

void print_steps(const Origin& origin, const ManifestAnalysis& analysis, const Manifest& m,
                 const LauncherPrediction& prediction) {
    for (const std::string& line : prediction.log_lines) {
        std::printf("  log: [launcher] %s\n", line.c_str());
    }
    if (!prediction.manifest_usable) {
        std::printf("  starts the Velda.exe beside it without updating\n");
        return;
    }
    if (prediction.package_name_box) {
        std::printf("  stops with the box \"%s\" and exit code 1\n", kPackageNameBox);
        return;
    }
    if (!prediction.update_needed) {
        std::printf("  is up to date and starts the installed product\n");
        return;
    }
    std::printf("  updates to %s, trying in this order:\n", m.version);
    int step = 0;
    for (UpdateMeans means : prediction.means) {
        ++step;
        std::printf("  %d. %s%s", step, step > 1 ? "if that fails: " : "", means_text(means));
        if (means == UpdateMeans::ChangedFiles) {
            std::printf(" from the list %s, files under %s\n", m.changed_files_url,
                        m.changed_files_base_url);
        } else if (means == UpdateMeans::DirectExecutable) {
            std::printf(" %s (replaces Velda.exe only)\n", origin.direct_url().c_str());
        } else {
            std::printf(" %s, saved as %s and unpacked\n", m.url,
                        analysis.package_file_name.c_str());
        }
    }
}

void print_prediction(const CheckOptions& options, const Origin& origin,
                      const ManifestAnalysis& analysis, const DetailsReading& reading) {
    std::string who;
    LauncherSituation situation = situation_of(options, &who);
    const Manifest& m = analysis.manifest;
    LauncherPrediction prediction = predict_launcher_run(m, situation);
    std::printf("A launcher with %s:\n", who.c_str());
    print_steps(origin, analysis, m, prediction);
    if (!reading.read) {
        return;
    }
    Manifest for_installed = manifest_for_installed(
        m, reading.details, situation.stamp_present ? situation.installed_version : "");
    // The launcher's own rule: the installed version's change set, and Velda.exe alone only
    // where direct_from names that version (a keyed one never without direct_from).
    LauncherPrediction with_details =
        predict_launcher_run(m, situation, &reading.details, !options.public_keys.empty());
    if (with_details.log_lines != prediction.log_lines || with_details.means != prediction.means ||
        std::strcmp(for_installed.changed_files_url, m.changed_files_url) != 0) {
        std::printf("A launcher that reads \"change_sets\" and \"direct_from\", instead:\n");
        print_steps(origin, analysis, for_installed, with_details);
    }
}

// Every key file holds a P-256 public key as "openssl ec -pubout" writes it; false after saying
// which does not.
bool public_keys_readable(const CheckOptions& options) {
    for (const std::string& key_file : options.public_keys) {
        std::string pem;
        uint8_t point[kP256PointSize];
        if (!read_file_bytes(key_file, &pem)) {
            std::fprintf(stderr, "velda-release check: cannot read the key %s\n", key_file.c_str());
            return false;
        }
        if (!p256_point_from_pem(pem.data(), pem.size(), point)) {
            std::fprintf(stderr,
                         "velda-release check: %s is no EC P-256 public key as "
                         "\"openssl ec -pubout\" writes it\n",
                         key_file.c_str());
            return false;
        }
    }
    return true;
}

void print_reading(const CheckOptions& options, const Origin& origin, const std::string& text,
                   const ManifestAnalysis& analysis) {
    std::printf("Manifest: %s (%zu bytes", options.manifest.c_str(), text.size());
    if (!origin.is_url()) {
        std::printf(", document root %s", origin.root().string().c_str());
    }
    std::printf(")\nAs the launcher reads it:\n");
    for (const FieldReading& field : analysis.fields) {
        print_field(field);
    }
    std::printf("  %-24s \"%s\"\n", "package file name", analysis.package_file_name.c_str());
}

void print_identity(const CheckOptions& options, const std::string& text,
                    std::vector<std::string>* traps) {
    IdentityReport identity = check_release_identity(
        text, options.product_id, utc_time_text_of(static_cast<long long>(std::time(nullptr))));
    if (!identity.lines.empty()) {
        std::printf("What the release is (keyed launchers go by it):\n");
    }
    for (const std::string& line : identity.lines) {
        std::printf("%s\n", line.c_str());
    }
    traps->insert(traps->end(), identity.traps.begin(), identity.traps.end());
}

int print_verdict(const std::vector<std::string>& notes, const std::vector<std::string>& traps) {
    for (const std::string& note : notes) {
        std::printf("note: %s\n", note.c_str());
    }
    for (const std::string& trap : traps) {
        std::printf("warning: %s\n", trap.c_str());
    }
    if (traps.empty()) {
        std::printf("Result: the release is sound\n");
        return 0;
    }
    std::printf("Result: %zu problem%s; the release is not sound\n", traps.size(),
                traps.size() == 1 ? "" : "s");
    return 1;
}

}  // namespace

int run_check(const CheckOptions& options) {
    if (!public_keys_readable(options)) {
        return 1;
    }
    std::vector<std::string> notes;
    Origin origin(options, &notes);
    std::string text;
    std::string error;
    if (!origin.get_manifest(options.manifest, &text, &error)) {
        std::fprintf(stderr, "velda-release check: cannot read %s: %s\n", options.manifest.c_str(),
                     error.c_str());
        return 1;
    }
    ManifestAnalysis analysis;
    analyze_manifest(text, &analysis);
    std::vector<std::string> traps = analysis.traps;
    check_within_bound("the manifest", text.size(), kManifestBodyBound,
                       "they start what is installed", &traps);
    notes.insert(notes.end(), analysis.notes.begin(), analysis.notes.end());
    print_reading(options, origin, text, analysis);
    print_identity(options, text, &traps);

    check_signature(origin, options, text, &traps, &notes);
    HashRule rule{!options.public_keys.empty()};
    Package package;
    check_package(origin, analysis, rule, &package, &traps);
    std::optional<uint64_t> direct_size;
    check_direct(origin, analysis.manifest, rule, package, &traps, &notes, &direct_size);
    ChangedFilesTotals single_set;
    check_changed_files(origin, analysis, rule, package, &traps, &single_set);
    DetailsReading details;
    check_release_details(origin, options, text, analysis, rule, {package, direct_size, single_set},
                          &details, &traps, &notes);
    check_offered_launcher_member(origin, text, options.launcher_version, &traps);
    print_prediction(options, origin, analysis, details);
    return print_verdict(notes, traps);
}

}  // namespace velda
