#pragma once

#include <string>

namespace velda {

// HTTP(S) GET for check: libcurl natively, the launcher's own WinHTTP transfer on Windows.

struct FetchOptions {
    std::string ca_file;  // extra trust for the server's certificate; empty for the system's
};

// The whole body of a 2xx answer.
[[nodiscard]] bool fetch_url(const std::string& url, const FetchOptions& options, std::string* body,
                             std::string* error);

}  // namespace velda
