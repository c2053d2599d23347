#pragma once

#include <windows.h>
#include <winhttp.h>

#include "common/win_handle.h"

namespace velda {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type empty() { return nullptr; }
    static void close(Type value) { WinHttpCloseHandle(value); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

// The run's one WinHTTP session, opened on first use with the user's proxy; every GET makes its
// connection and request on it, so the platform keeps connections alive between GETs. Null when
// it cannot be opened (GetLastError tells why). http_close_session() closes it at exit.
[[nodiscard]] HINTERNET run_http_session();

// Points the request at the proxy that the user's PAC script or WPAD names for url, where the
// user's settings ask for one. Without an answer the session's own choice stays.
void apply_url_proxy(HINTERNET request, const wchar_t* url);

}  // namespace velda
