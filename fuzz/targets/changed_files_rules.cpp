// The changed-files line rules. Input: the list line, a NUL, the base URL. A path that is
// downloaded or deleted never climbs out of the install folder, and every output is terminated.
#include <cstring>
#include <memory>

#include "fuzz_targets.h"
#include "install/changed_files_rules.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "changed_files_rules";
constexpr char kInstallFolder[] = "C:\\apps\\velda";

bool path_is_allowed_model(const std::string& path) {
    return !path.empty() && path[0] != '/' && path[0] != '\\' &&
           path.find("..") == std::string::npos && path.find(':') == std::string::npos;
}

bool terminated_within(const char* buffer, size_t capacity) {
    return std::memchr(buffer, '\0', capacity) != nullptr;
}

}  // namespace

int fuzz_changed_files_rules(const uint8_t* data, size_t size) {
    std::string raw_line = fuzz_c_text(data, size);
    std::string base_url;
    if (raw_line.size() < size) {
        base_url = fuzz_c_text(data + raw_line.size() + 1, size - raw_line.size() - 1);
    }
    // As fgets leaves it in the 2048-byte line buffer.
    std::unique_ptr<char[]> line(new char[kChangedFilesLineSize]);
    std::memset(line.get(), 0, kChangedFilesLineSize);
    std::memcpy(
        line.get(), raw_line.data(),
        raw_line.size() < kChangedFilesLineSize ? raw_line.size() : kChangedFilesLineSize - 1);
    std::string trimmed = fuzz_model_trim(line.get());

    ChangedFileEntry entry = classify_changed_file_line(line.get());
    if (trimmed != line.get()) {
        return fuzz_failure(kTarget, "line not trimmed as the rule says");
    }
    if (entry.path_text < line.get() || entry.path_text > line.get() + std::strlen(line.get())) {
        return fuzz_failure(kTarget, "path text does not point into the line");
    }
    std::string path = entry.path_text;
    ChangedFileAction expected = ChangedFileAction::Download;
    std::string expected_path = trimmed;
    if (trimmed.empty()) {
        expected = ChangedFileAction::Skip;
    } else if (trimmed[0] == '-') {
        size_t start = trimmed.find_first_not_of(" \t", 1);
        expected_path = start == std::string::npos ? "" : trimmed.substr(start);
        expected = ChangedFileAction::Delete;
    }
    if (expected != ChangedFileAction::Skip && !path_is_allowed_model(expected_path)) {
        expected = ChangedFileAction::Refuse;
    }
    if (entry.action != expected) {
        return fuzz_failure(kTarget, "action differs from the rule");
    }
    if (entry.action == ChangedFileAction::Skip || entry.action == ChangedFileAction::Refuse) {
        return 0;
    }
    if (path != expected_path || !path_is_allowed_model(path)) {
        return fuzz_failure(kTarget, "a path that climbs out or names a drive was let through");
    }

    std::unique_ptr<char[]> relative(new char[kPathSize]);
    changed_file_relative_path(entry.path_text, relative.get());
    if (!terminated_within(relative.get(), kPathSize)) {
        return fuzz_failure(kTarget, "relative path not terminated");
    }
    std::string expected_relative = path.substr(0, kPathSize - 1);
    for (char& c : expected_relative) {
        if (c == '/') {
            c = '\\';
        }
    }
    if (expected_relative != relative.get()) {
        return fuzz_failure(kTarget, "relative path is not the path with backslashes, cut");
    }

    std::unique_ptr<char[]> url(new char[kChangedFilesUrlSize]);
    join_changed_file_url(base_url.c_str(), entry.path_text, url.get());
    if (!terminated_within(url.get(), kChangedFilesUrlSize)) {
        return fuzz_failure(kTarget, "file URL not terminated");
    }
    std::string separator = !base_url.empty() && base_url.back() == '/' ? "" : "/";
    std::string expected_url = (base_url + separator + path).substr(0, kChangedFilesUrlSize - 1);
    if (expected_url != url.get()) {
        return fuzz_failure(kTarget, "file URL is not base, one separator, path as written");
    }

    std::string target = (std::string(kInstallFolder) + "\\" + relative.get()).substr(0, 259);
    if (target.compare(0, sizeof(kInstallFolder), std::string(kInstallFolder) + "\\") != 0) {
        return fuzz_failure(kTarget, "target path left the install folder");
    }
    std::unique_ptr<char[]> parent(new char[kPathSize]);
    bool has_parent = changed_file_parent_path(target.c_str(), parent.get());
    if (!terminated_within(parent.get(), kPathSize)) {
        return fuzz_failure(kTarget, "parent path not terminated");
    }
    size_t cut = target.rfind('\\');
    std::string expected_parent = target.substr(0, cut);
    if (!has_parent || expected_parent != parent.get() ||
        expected_parent.compare(0, std::strlen(kInstallFolder), kInstallFolder) != 0) {
        return fuzz_failure(kTarget, "parent is not the target cut at its last backslash");
    }
    return 0;
}
