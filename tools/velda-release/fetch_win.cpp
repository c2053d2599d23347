#include <vector>

#include "fetch.h"
#include "common/wide.h"
#include "net/http.h"

namespace velda {

// The launcher's own transfer, so that a check on Windows sees what the launcher would: the
// system's trust store, WinHTTP's encoding of the URL.
bool fetch_url(const std::string& url, const FetchOptions& options, std::string* body,
               std::string* error) {
    body->clear();
    if (!options.ca_file.empty()) {
        *error = "--cacert is not used on Windows: the system's trust store decides";
        return false;
    }
    std::vector<wchar_t> wide(url.size() + 1);
    utf8_to_wide(url.c_str(), wide.data(), static_cast<int>(wide.size()));
    HttpBody data;
    if (!http_get_to_memory_with_progress(wide.data(), &data, nullptr, nullptr) ||
        data.data() == nullptr) {
        *error = "no answer, or a status outside 200 to 299";
        return false;
    }
    body->assign(data.data(), data.size());
    return true;
}

}  // namespace velda
