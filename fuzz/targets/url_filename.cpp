// extract_filename_from_url: the name is the last segment before any "?", cut to 259 bytes, or
// empty; a name it gives can be joined to the install folder as one file of it.
#include <cstring>
#include <memory>

#include "fuzz_targets.h"
#include "net/url_filename.h"

using namespace velda;

int fuzz_url_filename(const uint8_t* data, size_t size) {
    std::string url = fuzz_c_text(data, size);
    std::unique_ptr<char[]> out(new char[kPathSize]);
    std::memset(out.get(), 'x', kPathSize);
    extract_filename_from_url(url.c_str(), out.get());
    if (std::memchr(out.get(), '\0', kPathSize) == nullptr) {
        return fuzz_failure("url_filename", "output not terminated within 260 bytes");
    }
    std::string name(out.get());
    if (name.empty()) {
        return 0;
    }

    size_t slash = url.rfind('/');
    size_t begin = slash == std::string::npos ? 0 : slash + 1;
    std::string segment = url.substr(begin);
    segment = segment.substr(0, segment.find('?')).substr(0, kPathSize - 1);
    if (name != segment) {
        return fuzz_failure("url_filename", "name is not the last segment before the query");
    }
    for (unsigned char c : name) {
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) {
            return fuzz_failure("url_filename", "name holds a byte Windows refuses in names");
        }
    }
    if (name.back() == '.' || name.back() == ' ') {
        return fuzz_failure("url_filename", "name ends in a dot or blank, so it is no file name");
    }
    return 0;
}
