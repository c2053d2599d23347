// The patch index. An accepted text has one entry per line, each found again by its path with
// the fields its line writes; a refused text keeps nothing and names a line it has.
#include <cstring>
#include <string>
#include <vector>

#include "common/hex.h"
#include "fuzz_targets.h"
#include "install/patch_index.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "patch_index";

std::vector<std::string> model_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        size_t end = newline == std::string::npos ? text.size() : newline;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = newline == std::string::npos ? text.size() : newline + 1;
    }
    return lines;
}

// The line written again from what the index holds for it.
std::string model_line(const PatchEntry& entry) {
    char patch[65];
    char base[65];
    char result[65];
    bytes_to_hex(entry.patch_sha256, kSha256Size, patch);
    bytes_to_hex(entry.base_sha256, kSha256Size, base);
    bytes_to_hex(entry.result_sha256, kSha256Size, result);
    return std::string(patch) + " " + std::to_string(entry.patch_size) + " " + base + " " + result +
           " " + std::to_string(entry.result_size) + " " + std::string(entry.path);
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return text;
}

}  // namespace

int fuzz_patch_index(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    PatchIndex index;
    std::vector<std::string> lines = model_lines(text);
    if (!index.parse(text.data(), text.size())) {
        if (index.size() != 0) {
            return fuzz_failure(kTarget, "a refused text kept entries");
        }
        if (index.error_line() > lines.size() || index.error()[0] == '\0') {
            return fuzz_failure(kTarget, "a refusal names no line of the text, or no reason");
        }
        return 0;
    }
    if (index.size() != lines.size()) {
        return fuzz_failure(kTarget, "not one entry per line");
    }
    for (const PatchEntry& entry : index.entries()) {
        if (entry.line == 0 || entry.line > lines.size() || entry.patch_size == 0 ||
            entry.patch_size > kPatchIndexMaxSize || entry.result_size > kPatchIndexMaxSize) {
            return fuzz_failure(kTarget, "an entry outside the bounds of its fields");
        }
        // Hex digits may be written in either case; everything else reads back byte for byte.
        const std::string& line = lines[entry.line - 1];
        std::string path_written = line.substr(line.size() - entry.path.size());
        std::string head = line.substr(0, line.size() - entry.path.size());
        std::string model = model_line(entry);
        if (path_written != entry.path ||
            lower(head) != model.substr(0, model.size() - entry.path.size())) {
            return fuzz_failure(kTarget, "an accepted line does not read back as written");
        }
        if (index.find(entry.path) != &entry) {
            return fuzz_failure(kTarget, "an accepted line's path does not find its entry");
        }
    }
    return 0;
}
