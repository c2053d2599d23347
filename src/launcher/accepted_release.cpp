#include "launcher/accepted_release.h"

#include "manifest/manifest.h"
#include "manifest/release_details.h"

namespace velda {

namespace {

constexpr std::string_view kFirstLine = "velda-accepted 1";
constexpr std::string_view kVersionKey = "version ";
constexpr std::string_view kIssuedKey = "issued ";

// The next line without its end; false once the text is used up.
bool next_line(std::string_view* text, std::string_view* line) {
    if (text->empty()) {
        return false;
    }
    size_t end = text->find('\n');
    *line = text->substr(0, end);
    *text = end == std::string_view::npos ? std::string_view() : text->substr(end + 1);
    if (!line->empty() && line->back() == '\r') {
        line->remove_suffix(1);
    }
    return true;
}

bool read_value_line(std::string_view line, std::string_view key, std::string* value) {
    if (line.substr(0, key.size()) != key || !value->empty()) {
        return false;
    }
    *value = std::string(line.substr(key.size()));
    return !value->empty();
}

}  // namespace

bool version_fits_record(std::string_view version) {
    if (version.empty() || version.size() >= kVersionTextSize) {
        return false;
    }
    for (char c : version) {
        if (c <= ' ' || c > '~') {
            return false;
        }
    }
    return parse_version(std::string(version).c_str(), nullptr);
}

std::string accepted_release_text(const AcceptedRelease& accepted) {
    std::string text =
        std::string(kFirstLine) + "\n" + std::string(kVersionKey) + accepted.version + "\n";
    if (!accepted.issued.empty()) {
        text += std::string(kIssuedKey) + accepted.issued + "\n";
    }
    return text;
}

bool read_accepted_release(std::string_view text, AcceptedRelease* out) {
    *out = AcceptedRelease{};
    std::string_view line;
    if (!next_line(&text, &line) || line != kFirstLine) {
        return false;
    }
    AcceptedRelease record;
    while (next_line(&text, &line)) {
        bool known = read_value_line(line, kVersionKey, &record.version) ||
                     read_value_line(line, kIssuedKey, &record.issued);
        if (!known) {
            return false;
        }
    }
    if (!version_fits_record(record.version) ||
        (!record.issued.empty() && !utc_time_text_valid(record.issued))) {
        return false;
    }
    *out = std::move(record);
    return true;
}

}  // namespace velda
