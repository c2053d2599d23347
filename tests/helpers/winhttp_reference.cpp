// Reference client for the download benchmark: the plainest synchronous WinHTTP GET, reading
// into one buffer allocated up front from the announced length. "winhttp_reference URL".
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: winhttp_reference URL\n");
        return 2;
    }
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts)) {
        return 1;
    }
    HINTERNET session = WinHttpOpen(L"reference", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = WinHttpConnect(session, host, parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(
        connection, L"GET", path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr ||
        !WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(request, nullptr)) {
        return 1;
    }
    DWORD length = 0;
    DWORD size = sizeof length;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &length, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return 1;
    }
    char* buffer = static_cast<char*>(std::malloc(length + size_t{1}));
    if (buffer == nullptr) {
        return 1;
    }
    DWORD received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available) || available == 0) {
            break;
        }
        if (available > length - received) {
            available = length - received;
        }
        DWORD read = 0;
        if (available == 0 || !WinHttpReadData(request, buffer + received, available, &read)) {
            break;
        }
        received += read;
    }
    std::printf("{\"received\":%lu}\n", static_cast<unsigned long>(received));
    std::free(buffer);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return received == length ? 0 : 1;
}
