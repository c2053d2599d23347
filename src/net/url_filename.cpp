#include "net/url_filename.h"

#include <cstring>
#include <initializer_list>

#include "common/text.h"

namespace velda {

namespace {

bool is_forbidden_in_name(unsigned char c) {
    return c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr;
}

// CON, NUL, COM1 and the like name devices in every folder, whatever extension follows.
bool is_device_name(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') {
        stem.remove_suffix(1);
    }
    for (const char* device : {"con", "prn", "aux", "nul"}) {
        if (equals_ignoring_ascii_case(stem, device)) {
            return true;
        }
    }
    return stem.size() == 4 &&
           (equals_ignoring_ascii_case(stem.substr(0, 3), "com") ||
            equals_ignoring_ascii_case(stem.substr(0, 3), "lpt")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

}  // namespace

FileNameFault file_name_fault(std::string_view name, size_t* fault_at) {
    if (name.empty()) {
        return FileNameFault::Empty;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        if (is_forbidden_in_name(static_cast<unsigned char>(name[i]))) {
            if (fault_at != nullptr) {
                *fault_at = i;
            }
            return FileNameFault::ForbiddenByte;
        }
    }
    if (name.back() == '.' || name.back() == ' ') {
        return FileNameFault::TrailingDotOrSpace;
    }
    return is_device_name(name) ? FileNameFault::DeviceName : FileNameFault::None;
}

void extract_filename_from_url(const char* url, char out[kPathSize]) {
    out[0] = '\0';
    if (url[0] == '\0') {
        return;
    }
    // The last slash of the whole URL, query included: "/get?f=/a.zip" names "a.zip".
    const char* last_slash = std::strrchr(url, '/');
    const char* begin = last_slash != nullptr ? last_slash + 1 : url;
    const char* query = std::strchr(begin, '?');
    size_t length = query != nullptr ? static_cast<size_t>(query - begin) : std::strlen(begin);
    if (length > kPathSize - 1) {
        length = kPathSize - 1;
    }
    // Judged after the cut: the name that is returned is the one that must be usable. The
    // caller joins it to a folder, so it must name a file of that folder.
    if (file_name_fault(std::string_view(begin, length)) != FileNameFault::None) {
        return;
    }
    std::memcpy(out, begin, length);
    out[length] = '\0';
}

}  // namespace velda
