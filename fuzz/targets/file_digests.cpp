// The sha256sum-format hash file. An accepted text has one digest per line, each found again
// by its path with its digits' bytes; a refused text keeps nothing and names a line it has.
#include <cstring>
#include <string>
#include <vector>

#include "common/hex.h"
#include "fuzz_targets.h"
#include "install/file_digests.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "file_digests";

std::vector<std::string> model_lines(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
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

}  // namespace

int fuzz_file_digests(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    FileDigestList list;
    std::vector<std::string> lines = model_lines(text);
    if (!list.parse(text.data(), text.size())) {
        if (list.size() != 0) {
            return fuzz_failure(kTarget, "a refused text kept entries");
        }
        if (list.error_line() > lines.size() || list.error()[0] == '\0') {
            return fuzz_failure(kTarget, "a refusal names no line of the text, or no reason");
        }
        return 0;
    }
    if (list.size() != lines.size()) {
        return fuzz_failure(kTarget, "not one entry per line");
    }
    for (const std::string& line : lines) {
        uint8_t expected[kSha256Size];
        if (line.size() < 67 || !hex_to_bytes(line.substr(0, 64).c_str(), expected, kSha256Size) ||
            line[0] == '\\' || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) {
            return fuzz_failure(kTarget, "accepted a line that is no digest line");
        }
        const uint8_t* found = list.find(line.substr(66));
        if (found == nullptr || std::memcmp(found, expected, kSha256Size) != 0) {
            return fuzz_failure(kTarget, "an accepted line's path does not find its digest");
        }
    }
    return 0;
}
