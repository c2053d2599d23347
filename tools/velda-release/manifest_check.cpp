#include "manifest_check.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/install_paths.h"
#include "common/text.h"
#include "launcher/run_decision.h"
#include "net/url_filename.h"
#include "release_text.h"

namespace velda {

namespace {

std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

bool is_reserved_install_name(std::string_view name) {
    return equals_ignoring_ascii_case(name, kProductFileName) ||
           equals_ignoring_ascii_case(name, kStampFileName);
}

void read_field(std::string_view text, const char* c_text, const ManifestKey& key,
                FieldReading* field) {
    field->key = key.name;
    field->capacity = key.capacity;
    // Read once more without a cut to learn the raw length.
    std::unique_ptr<char[]> whole(new char[text.size() + 1]);
    field->found = json_extract_string(c_text, key.name, whole.get(), text.size() + 1);
    field->raw_length = std::strlen(whole.get());
    std::string cut(key.capacity, '\0');
    json_extract_string(c_text, key.name, cut.data(), key.capacity);
    field->value = cut.c_str();
    const char* hit = std::strstr(c_text, quoted(key.name).c_str());
    field->found_offset = hit != nullptr ? static_cast<size_t>(hit - c_text) : std::string::npos;
}

void check_placement(std::string_view text, const JsonScan& scan, const FieldReading& field,
                     std::vector<std::string>* traps) {
    std::string name = quoted(field.key);
    const JsonMember* member = field.member >= 0 ? &scan.members[field.member] : nullptr;
    int count = 0;
    for (const JsonMember& m : scan.members) {
        count += m.key == field.key ? 1 : 0;
    }
    if (count > 1) {
        traps->push_back(name + " is a top-level member " + std::to_string(count) +
                         " times: the launcher takes the first, most JSON readers the last");
    }
    if (field.found_offset == std::string::npos) {
        return;
    }
    std::string launcher_reads = field.found ? "\"" + printable(field.value) + "\"" : "nothing";
    if (member == nullptr) {
        if (scan.valid && scan.root_is_object) {
            traps->push_back(name +
                             " is no top-level member, but the launcher finds the quoted "
                             "name at " +
                             describe_offset(text, field.found_offset) + " and reads " +
                             launcher_reads);
        }
        return;
    }
    if (field.found_offset < member->key_offset) {
        traps->push_back(name + " occurs at " + describe_offset(text, field.found_offset) +
                         ", before its top-level member at " +
                         describe_offset(text, member->key_offset) + ": the launcher reads " +
                         launcher_reads + " instead of the member's value");
    }
}

// Escapes, cuts and control bytes of one raw value; whose says which reading it is.
void check_raw(const std::string& name, const std::string& whose, const std::string& raw,
               size_t raw_length, size_t capacity, std::vector<std::string>* traps) {
    if (raw_length >= capacity) {
        traps->push_back(name + whose + " is " + std::to_string(raw_length) +
                         " bytes: the launcher cuts it to its first " +
                         std::to_string(capacity - 1) + " without notice");
    }
    if (raw.find("\\/") != std::string::npos) {
        traps->push_back(name + whose +
                         " writes slashes as \\/ (escaped slashes): the launcher keeps the "
                         "backslashes and the value is unusable");
    }
    std::string other;
    for (size_t i = 0; i + 1 < raw.size(); ++i) {
        if (raw[i] == '\\') {
            std::string sequence = raw.substr(i, 2);
            if (sequence != "\\/" && other.find(sequence) == std::string::npos) {
                other += (other.empty() ? "" : " ") + sequence;
            }
            ++i;
        }
    }
    if (!other.empty()) {
        traps->push_back(name + whose + " holds escape sequences (" + other +
                         "): the launcher takes them raw, without decoding them");
    }
}

void check_value(const FieldReading& field, const JsonScan& scan, std::vector<std::string>* traps,
                 std::vector<std::string>* notes) {
    std::string name = quoted(field.key);
    const JsonMember* member = field.member >= 0 ? &scan.members[field.member] : nullptr;
    if (member != nullptr && member->kind != JsonKind::String) {
        std::string what = name + " is " + json_kind_name(member->kind) +
                           ", not a string: the launcher counts it as missing";
        if (member->kind == JsonKind::Null) {
            notes->push_back(what);
        } else {
            traps->push_back(what);
        }
    }
    if (field.found) {
        check_raw(name, "", field.value, field.raw_length, field.capacity, traps);
    }
    // The member a JSON reader sees may hold traps of its own when the launcher reads another.
    if (member != nullptr && member->kind == JsonKind::String &&
        (!field.found || member->raw.compare(0, field.value.size(), field.value) != 0 ||
         member->raw.size() != field.raw_length)) {
        check_raw(name, " (its top-level member)", member->raw, member->raw.size(), field.capacity,
                  traps);
    }
}

void check_version(const char* key, const std::string& value, std::vector<std::string>* traps) {
    if (!parse_version(value.c_str(), nullptr)) {
        traps->push_back(quoted(key) + " \"" + printable(value) +
                         "\" does not parse as a version (three whole numbers joined by dots): "
                         "the launcher ranks it below every real version");
    }
}

void check_url_value(const char* key, const std::string& value, std::vector<std::string>* traps) {
    if (!is_http_url(value)) {
        traps->push_back(quoted(key) + " \"" + printable(value) +
                         "\" is not an absolute http or https URL");
    }
}

// The text as a whole: a NUL byte, JSON syntax, the byte-order mark.
void check_text_form(std::string_view text, const std::string& c_text, ManifestAnalysis* analysis) {
    std::vector<std::string>& traps = analysis->traps;
    if (c_text.size() != text.size()) {
        traps.push_back("the manifest holds a NUL byte at " + describe_offset(text, c_text.size()) +
                        ": the launcher reads nothing after it");
    }
    analysis->scan = scan_json_top_level(text);
    const JsonScan& scan = analysis->scan;
    if (!scan.valid) {
        traps.push_back("the manifest is not valid JSON (" + scan.error + " at " +
                        describe_offset(text, scan.error_offset) +
                        "); it cannot be checked member by member");
    } else if (!scan.root_is_object) {
        traps.push_back("the manifest is not a JSON object");
    }
    if (scan.byte_order_mark) {
        analysis->notes.push_back("the manifest begins with a UTF-8 byte-order mark");
    }
}

// The top-level members of the two version keys, where a JSON reader sees another value.
void check_member_versions(const ManifestAnalysis& analysis, std::vector<std::string>* traps) {
    for (size_t i : {size_t{0}, size_t{2}}) {
        const FieldReading& field = analysis.fields[i];
        if (field.member >= 0) {
            const JsonMember& member = analysis.scan.members[static_cast<size_t>(field.member)];
            if (member.kind == JsonKind::String && member.raw != field.value &&
                !parse_version(member.raw.c_str(), nullptr)) {
                traps->push_back(quoted(field.key) + " (its top-level member) \"" +
                                 printable(member.raw) + "\" does not parse as a version");
            }
        }
    }
}

// "version" and "url": usable, and a package file name that the installation can hold.
void check_package_members(ManifestAnalysis* analysis) {
    const Manifest& m = analysis->manifest;
    std::vector<std::string>& traps = analysis->traps;
    if (!manifest_is_usable(m)) {
        traps.push_back(std::string("the launcher finds no usable manifest: \"version\" and "
                                    "\"url\" must both be non-empty strings (") +
                        (m.version[0] == '\0' ? "\"version\" " : "") +
                        (m.url[0] == '\0' ? "\"url\" " : "") + "missing or empty)");
    }
    if (m.version[0] != '\0') {
        check_version("version", m.version, &traps);
    }
    if (m.url[0] == '\0') {
        return;
    }
    check_url_value("url", m.url, &traps);
    char name[kPathSize];
    extract_filename_from_url(m.url, name);
    analysis->package_file_name = name;
    if (name[0] == '\0') {
        traps.push_back(
            "\"url\" names no package file (no usable last path segment): every "
            "launcher stops with the box \"" +
            std::string(kPackageNameBox) + "\"");
    } else if (is_reserved_install_name(name)) {
        traps.push_back(std::string("the package file name \"") + name +
                        "\" is a file of the installation itself");
    }
}

void check_changed_from_version(const Manifest& m, std::vector<std::string>* traps) {
    check_version("changed_from_version", m.changed_from_version, traps);
    char copy[kVersionTextSize];
    copy_bounded(copy, sizeof(copy), m.changed_from_version);
    trim_in_place(copy);
    if (std::strcmp(copy, m.changed_from_version) != 0) {
        traps->push_back(
            "\"changed_from_version\" has blanks around it: it never equals a "
            "version stamp, which the launcher reads trimmed");
    } else if (parse_version(m.changed_from_version, nullptr) &&
               compare_versions(m.changed_from_version, m.version) != VersionOrder::LocalOlder) {
        traps->push_back(std::string("\"changed_from_version\" ") + m.changed_from_version +
                         " is not older than \"version\" " + m.version +
                         ": a launcher at that version counts itself up to date and never "
                         "uses the list");
    }
}

void check_list_url(ManifestAnalysis* analysis) {
    const Manifest& m = analysis->manifest;
    std::vector<std::string>& traps = analysis->traps;
    check_url_value("changed_files_url", m.changed_files_url, &traps);
    char name[kPathSize];
    extract_filename_from_url(m.changed_files_url, name);
    analysis->list_file_name = name;
    if (name[0] == '\0') {
        traps.push_back(
            "\"changed_files_url\" names no file: the launcher gives up the "
            "changed-files update at once");
    } else if (is_reserved_install_name(name)) {
        traps.push_back(std::string("the changed-files list is saved as \"") + name +
                        "\" in the install folder, over a file of the installation, and "
                        "deleted afterwards");
    }
}

// The three changed-files members: all or none, each usable.
void check_changed_members(ManifestAnalysis* analysis) {
    const Manifest& m = analysis->manifest;
    std::vector<std::string>& traps = analysis->traps;
    bool from = m.changed_from_version[0] != '\0';
    bool list = m.changed_files_url[0] != '\0';
    bool base = m.changed_files_base_url[0] != '\0';
    if ((from || list || base) && !(from && list && base)) {
        traps.push_back(std::string("the changed-files members are incomplete (") +
                        (from ? "" : "\"changed_from_version\" ") +
                        (list ? "" : "\"changed_files_url\" ") +
                        (base ? "" : "\"changed_files_base_url\" ") +
                        "missing or empty): no launcher ever uses the list");
    }
    if (from) {
        check_changed_from_version(m, &traps);
    }
    if (list) {
        check_list_url(analysis);
    }
    if (base) {
        check_url_value("changed_files_base_url", m.changed_files_base_url, &traps);
    }
}

}  // namespace

void analyze_manifest(std::string_view text, ManifestAnalysis* analysis) {
    // The launcher holds the body as a C string.
    std::string c_text(text.substr(0, text.find('\0')));
    check_text_form(text, c_text, analysis);
    manifest_extract(c_text.c_str(), &analysis->manifest);
    for (size_t i = 0; i < kManifestKeyCount; ++i) {
        FieldReading& field = analysis->fields[i];
        read_field(c_text, c_text.c_str(), kManifestKeys[i], &field);
        field.member = find_top_level_member(analysis->scan, field.key);
        check_placement(text, analysis->scan, field, &analysis->traps);
        check_value(field, analysis->scan, &analysis->traps, &analysis->notes);
    }
    check_member_versions(*analysis, &analysis->traps);
    check_package_members(analysis);
    check_changed_members(analysis);
}

std::string stamp_text_as_read(std::string_view text) {
    char buffer[kVersionTextSize];
    version_stamp_text(text.data(), text.size(), buffer);
    return buffer;
}

LauncherPrediction predict_launcher_run(const Manifest& manifest,
                                        const LauncherSituation& situation,
                                        const ReleaseDetails* details, bool keyed) {
    // A launcher that takes the manifest: whether keyed ones would is the signature's own
    // check. The journal's mark is not known here.
    ManifestArrival arrival = {true, keyed, keyed,
                               keyed ? SignatureCheck::Verified : SignatureCheck::NoKeys};
    InstalledState installed = {situation.install_folder_existed, situation.stamp_present,
                                situation.installed_version.c_str(), situation.product_present,
                                false};
    RunDecision decision = decide_run(arrival, manifest, installed, details);
    LauncherPrediction prediction{};
    prediction.manifest_usable = decision.course != RunCourse::StartLocalInvalid;
    prediction.package_name_box = decision.course == RunCourse::PackageNameBox;
    prediction.update_needed = decision.course == RunCourse::Update;
    prediction.log_lines.assign(decision.lines, decision.lines + decision.line_count);
    if (prediction.update_needed) {
        const UpdatePlan& plan = decision.plan;
        if (plan.opening_line != nullptr) {
            prediction.log_lines.push_back(plan.opening_line);
        }
        prediction.means.assign(plan.means, plan.means + plan.means_count);
    }
    return prediction;
}

}  // namespace velda
