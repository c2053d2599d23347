#include "net/url_filename.h"

#include <cctype>
#include <cstring>
#include <initializer_list>

namespace {

// Bytes Windows refuses in a file name.
bool is_forbidden_in_name(unsigned char c) {
    return (c >= 0x01 && c <= 0x1F) || std::strchr("<>:\"/\\|?*", c) != nullptr;
}

bool equals_ignoring_case(const char* text, size_t length, const char* word) {
    for (size_t i = 0; i < length; ++i) {
        if (word[i] == '\0' || std::tolower(static_cast<unsigned char>(text[i])) != word[i]) {
            return false;
        }
    }
    return word[length] == '\0';
}

// CON, NUL, COM1 and the like name devices in every folder, whatever extension follows.
bool is_device_name(const char* name, size_t length) {
    size_t stem = 0;
    while (stem < length && name[stem] != '.') {
        ++stem;
    }
    while (stem > 0 && name[stem - 1] == ' ') {
        --stem;
    }
    for (const char* device : {"con", "prn", "aux", "nul"}) {
        if (equals_ignoring_case(name, stem, device)) {
            return true;
        }
    }
    return stem == 4 &&
           (equals_ignoring_case(name, 3, "com") || equals_ignoring_case(name, 3, "lpt")) &&
           name[3] >= '1' && name[3] <= '9';
}

// The caller joins the name to a folder, so it must name a file of that folder: Windows drops
// trailing dots and spaces, which turns ".", ".." and "..." into the folder or its parent.
bool is_usable_name(const char* name, size_t length) {
    if (length == 0 || name[length - 1] == '.' || name[length - 1] == ' ') {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (is_forbidden_in_name(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return !is_device_name(name, length);
}

}  // namespace

void extract_filename_from_url(const char* url, char out[kUrlFilenameSize]) {
    out[0] = '\0';
    if (url[0] == '\0') {
        return;
    }
    // The last slash of the whole URL, query included: "/get?f=/a.zip" names "a.zip".
    const char* last_slash = std::strrchr(url, '/');
    const char* begin = last_slash != nullptr ? last_slash + 1 : url;
    const char* query = std::strchr(begin, '?');
    size_t length = query != nullptr ? static_cast<size_t>(query - begin) : std::strlen(begin);
    if (length > kUrlFilenameSize - 1) {
        length = kUrlFilenameSize - 1;
    }
    // Judged after the cut: the name that is returned is the one that must be usable.
    if (!is_usable_name(begin, length)) {
        return;
    }
    std::memcpy(out, begin, length);
    out[length] = '\0';
}
