// json_extract_string against a plain model of its search, with an output buffer of exactly the
// capacity given, so that a write past it is caught.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_targets.h"
#include "manifest/manifest.h"

using namespace velda;

namespace {

constexpr const char* kKeys[] = {"version", "url", "changed_from_version", "changed_files_url",
                                 "changed_files_base_url"};
constexpr size_t kPatternSize = 128;
constexpr size_t kMaxCustomKey = 160;

struct Expected {
    bool found;
    std::string value;
};

Expected model_extract(const std::string& text, const std::string& key, size_t capacity) {
    std::string pattern = ("\"" + key + "\"").substr(0, kPatternSize - 1);
    size_t at = text.find(pattern);
    if (at == std::string::npos) {
        return {false, ""};
    }
    size_t colon = text.find(':', at + pattern.size());
    if (colon == std::string::npos) {
        return {false, ""};
    }
    size_t open = text.find_first_not_of("\t\n\r ", colon + 1);
    if (open == std::string::npos || text[open] != '"') {
        return {false, ""};
    }
    size_t close = open + 1;
    for (;;) {
        if (close >= text.size()) {
            return {false, ""};
        }
        if (text[close] == '"') {
            break;
        }
        if (text[close] == '\\') {
            ++close;
            if (close >= text.size()) {
                return {false, ""};
            }
        }
        ++close;
    }
    std::string value = text.substr(open + 1, close - open - 1);
    if (value.size() >= capacity) {
        value.resize(capacity - 1);
    }
    return {true, value};
}

bool terminated_within(const char* buffer, size_t capacity) {
    return std::memchr(buffer, '\0', capacity) != nullptr;
}

}  // namespace

int fuzz_json_extract_string(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // First byte: which key; second: the output capacity; then a custom key up to a NUL.
    const uint8_t key_choice = data[0];
    const uint8_t capacity_choice = data[1];
    data += 2;
    size -= 2;
    std::string key;
    if (key_choice % 8 < 5) {
        key = kKeys[key_choice % 8];
    } else {
        key = fuzz_c_text(data, size < kMaxCustomKey ? size : kMaxCustomKey);
        size_t used = key.size() < size ? key.size() + 1 : key.size();
        data += used;
        size -= used;
    }
    size_t capacity = (capacity_choice & 0x80) != 0
                          ? ((capacity_choice & 1) != 0 ? kManifestUrlSize : kVersionTextSize)
                          : static_cast<size_t>(capacity_choice & 0x7F) + 1;
    std::string text = fuzz_c_text(data, size);

    std::unique_ptr<char[]> out(new char[capacity]);
    std::memset(out.get(), 'x', capacity);
    bool found = json_extract_string(text.c_str(), key.c_str(), out.get(), capacity);
    if (!terminated_within(out.get(), capacity)) {
        return fuzz_failure("json_extract_string", "output not terminated within its capacity");
    }
    Expected expected = model_extract(text, key, capacity);
    if (found != expected.found) {
        return fuzz_failure("json_extract_string", "found flag differs from the model");
    }
    if (std::string(out.get()) != expected.value) {
        return fuzz_failure("json_extract_string", "value differs from the model");
    }

    Manifest manifest;
    manifest_extract(text.c_str(), &manifest);
    if (!terminated_within(manifest.version, sizeof(manifest.version)) ||
        !terminated_within(manifest.url, sizeof(manifest.url)) ||
        !terminated_within(manifest.changed_from_version, sizeof(manifest.changed_from_version)) ||
        !terminated_within(manifest.changed_files_url, sizeof(manifest.changed_files_url)) ||
        !terminated_within(manifest.changed_files_base_url,
                           sizeof(manifest.changed_files_base_url))) {
        return fuzz_failure("json_extract_string", "a manifest field is not terminated");
    }
    if (manifest.changed_files_url_found !=
        model_extract(text, "changed_files_url", kManifestUrlSize).found) {
        return fuzz_failure("json_extract_string", "manifest found flag differs from the model");
    }
    return 0;
}
