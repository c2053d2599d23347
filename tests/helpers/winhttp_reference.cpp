// Reference client for the benchmarks: the plainest synchronous WinHTTP GET, reading into one
// buffer allocated up front from the announced length.
//
//   winhttp_reference URL                        one GET; prints {"received":N}
//   winhttp_reference --count N [OPTIONS] URL    N GETs in a row, one line each with its time
//
// With --count every GET opens and closes its own session, connection and request, as the
// launcher's transfer does. Options:
//   --reuse        one session and connection for all GETs, so that WinHTTP may keep the
//                  connection (and its TLS session) between them
//   --save DIR     write each body to DIR\<i>.dat (create, write, close)
//   --durable      with --save: write DIR\<i>.dat.part, flush it to disk, then move it over
//                  DIR\<i>.dat with write-through, the steps of the launcher's to-file GET
// The time of a GET includes its file work.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "common/win_handle.h"

using namespace velda;

namespace {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type empty() { return nullptr; }
    static void close(Type value) { WinHttpCloseHandle(value); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

struct Target {
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    INTERNET_PORT port = 0;
    bool secure = false;
};

struct Save {
    const wchar_t* folder = nullptr;  // null: bodies stay in memory
    bool durable = false;
};

bool split(const wchar_t* url, Target* target) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = target->host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = target->path;
    parts.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) {
        return false;
    }
    target->port = parts.nPort;
    target->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return true;
}

bool write_file(const std::wstring& path, const char* data, DWORD size, bool flush) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (size == 0 || WriteFile(file.get(), data, size, &written, nullptr)) &&
           written == size && (!flush || FlushFileBuffers(file.get()));
}

bool save_body(const Save& save, long index, const char* data, DWORD size) {
    std::wstring path = std::wstring(save.folder) + L"\\" + std::to_wstring(index) + L".dat";
    if (!save.durable) {
        return write_file(path, data, size, false);
    }
    std::wstring part = path + L".part";
    return write_file(part, data, size, true) &&
           MoveFileExW(part.c_str(), path.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// One GET on an open connection; true when the whole announced body arrived (and was saved when
// asked). *reading tells whether the response was accepted and its body read at all.
bool get(HINTERNET connection, const Target& target, const Save& save, long index, DWORD* received,
         bool* reading) {
    *received = 0;
    *reading = false;
    UniqueInternet request(WinHttpOpenRequest(connection, L"GET", target.path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              target.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return false;
    }
    DWORD length = 0;
    DWORD size = sizeof length;
    char* buffer = nullptr;
    if (WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                           0, 0, 0) &&
        WinHttpReceiveResponse(request.get(), nullptr) &&
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &length, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        buffer = static_cast<char*>(std::malloc(length + size_t{1}));
    }
    bool whole = false;
    if (buffer != nullptr) {
        *reading = true;
        for (;;) {
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(request.get(), &available) || available == 0) {
                break;
            }
            if (available > length - *received) {
                available = length - *received;
            }
            DWORD read = 0;
            if (available == 0 ||
                !WinHttpReadData(request.get(), buffer + *received, available, &read)) {
                break;
            }
            *received += read;
        }
        whole = *received == length &&
                (save.folder == nullptr || save_body(save, index, buffer, length));
        std::free(buffer);
    }
    return whole;
}

// The connection closes before its session.
struct Client {
    UniqueInternet session;
    UniqueInternet connection;

    bool open(const Target& target) {
        session.reset(WinHttpOpen(L"reference", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (session) {
            connection.reset(WinHttpConnect(session.get(), target.host, target.port, 0));
        }
        return static_cast<bool>(connection);
    }
    void close() {
        connection.reset();
        session.reset();
    }
};

double seconds_since(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

int usage() {
    std::fprintf(stderr,
                 "usage: winhttp_reference [--count N [--reuse] [--save DIR [--durable]]] URL\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    long count = 0;  // 0: the single GET with its original output
    bool reuse = false;
    Save save;
    int at = 1;
    for (; at < argc - 1; ++at) {
        if (std::wcscmp(argv[at], L"--count") == 0 && at + 1 < argc - 1) {
            count = std::wcstol(argv[++at], nullptr, 10);
            if (count < 1) {
                return usage();
            }
        } else if (std::wcscmp(argv[at], L"--reuse") == 0) {
            reuse = true;
        } else if (std::wcscmp(argv[at], L"--save") == 0 && at + 1 < argc - 1) {
            save.folder = argv[++at];
        } else if (std::wcscmp(argv[at], L"--durable") == 0) {
            save.durable = true;
        } else {
            return usage();
        }
    }
    bool extras = reuse || save.folder != nullptr;
    if (at != argc - 1 || (extras && count == 0) || (save.durable && save.folder == nullptr)) {
        return usage();
    }
    Target target;
    if (!split(argv[at], &target)) {
        return 1;
    }
    if (count == 0) {
        Client client;
        DWORD received = 0;
        bool reading = false;
        bool whole = client.open(target) &&
                     get(client.connection.get(), target, save, 0, &received, &reading);
        if (reading) {
            std::printf("{\"received\":%lu}\n", static_cast<unsigned long>(received));
        }
        client.close();
        return whole ? 0 : 1;
    }

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    Client shared;
    if (reuse && !shared.open(target)) {
        return 1;
    }
    bool all = true;
    for (long i = 1; i <= count && all; ++i) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        Client own;
        DWORD received = 0;
        bool reading = false;
        if (reuse) {
            all = get(shared.connection.get(), target, save, i, &received, &reading);
        } else {
            all =
                own.open(target) && get(own.connection.get(), target, save, i, &received, &reading);
            own.close();
        }
        std::printf("{\"get\":%ld,\"received\":%lu,\"seconds\":%.6f}\n", i,
                    static_cast<unsigned long>(received), seconds_since(start, frequency));
    }
    shared.close();
    std::fflush(stdout);
    return all ? 0 : 1;
}
