#include "net/http_request_win.h"

#include <cstring>

#include "net/http_body.h"
#include "net/http_headers_win.h"
#include "net/http_session_win.h"
#include "net/request_timer_win.h"

namespace velda {

namespace {

constexpr DWORD kHostUnits = 256;
constexpr DWORD kTargetUnits = 2048;

struct RequestTarget {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTP;
    INTERNET_PORT port = 0;
    wchar_t host[kHostUnits] = {};
    wchar_t path[kTargetUnits] = {};
};

// The cracked parts are positions in the URL; an empty part may have no position at all.
void copy_units(wchar_t* dest, const wchar_t* src, DWORD units) {
    if (units > 0) {
        std::memcpy(dest, src, units * sizeof(wchar_t));
    }
}

// Splits the URL and applies the size limits, before any network activity. *error is the
// cracking call's error, or 0 when the URL was refused here.
bool split_url(const wchar_t* url, RequestTarget* target, DWORD* error) {
    *error = 0;
    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) {
        *error = GetLastError();
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        return false;
    }
    if (parts.dwHostNameLength >= kHostUnits) {
        return false;
    }
    if (static_cast<uint64_t>(parts.dwUrlPathLength) + parts.dwExtraInfoLength > kTargetUnits - 1) {
        return false;
    }
    target->scheme = parts.nScheme;
    target->port = parts.nPort;
    copy_units(target->host, parts.lpszHostName, parts.dwHostNameLength);
    copy_units(target->path, parts.lpszUrlPath, parts.dwUrlPathLength);
    copy_units(target->path + parts.dwUrlPathLength, parts.lpszExtraInfo, parts.dwExtraInfoLength);
    return true;
}

TransferResult read_body(HINTERNET request, RequestTimer& timer, BodySink& sink, uint32_t total,
                         DWORD status, const BodyBound& bound, ProgressCallback callback,
                         void* user_data) {
    uint32_t received = 0;
    TrickleWatch trickle(GetTickCount64());
    for (;;) {
        DWORD available = 0;
        if (!timer.before_call(request)) {
            return stopped_at(TransferStage::TimeLimit, 0, status);
        }
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return timer.failure(TransferStage::Read, status);
        }
        if (available == 0) {
            break;
        }
        if (received + static_cast<uint64_t>(available) >= kHttpBodyLimit) {
            return stopped_at(TransferStage::Length, 0, status);
        }
        if (bound.next_read_passes(received, available)) {
            return stopped_at(TransferStage::TooLong, 0, status);
        }
        char* place = sink.room(available);
        if (place == nullptr) {
            return sink.failure(status);
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, place, available, &read)) {
            return stopped_at(TransferStage::Read, GetLastError(), status);
        }
        sink.commit(read);
        received += read;
        if (callback != nullptr) {
            callback(received, total, user_data);
        }
        if (read == 0) {
            break;  // The response has ended after all.
        }
        bool whole = total != 0 && received >= total;
        if (!whole && trickle.arrived(GetTickCount64(), read)) {
            return stopped_at(TransferStage::Stalled, 0, status);
        }
    }
    // A connection that closes early also reads as the end of the body: only the announced
    // length tells a cut body from a whole one.
    if (total != 0 && received < total) {
        return stopped_at(TransferStage::Length, 0, status);
    }
    return stopped_at(TransferStage::Done, 0, status);
}

// Sends the request and waits for the answer's headers; Done once they arrived.
TransferResult send_and_receive(HINTERNET request, RequestTimer& timer, BodySink& sink) {
    if (!timer.before_call(request)) {
        return stopped_at(TransferStage::TimeLimit, 0);
    }
    if (!WinHttpSendRequest(request, sink.request_headers(), static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return timer.failure(TransferStage::Send);
    }
    if (!timer.before_call(request)) {
        return stopped_at(TransferStage::TimeLimit, 0);
    }
    if (!WinHttpReceiveResponse(request, nullptr)) {
        return timer.failure(TransferStage::ReceiveHeaders);
    }
    return stopped_at(TransferStage::Done, 0);
}

// The answer's status and headers go to the sink, then its body.
TransferResult take_answer(HINTERNET request, RequestTimer& timer, BodySink& sink,
                           uint64_t max_bytes, ProgressCallback callback, void* user_data) {
    DWORD status = 0;
    if (!query_number(request, WINHTTP_QUERY_STATUS_CODE, &status)) {
        return stopped_at(TransferStage::Status, GetLastError());
    }
    if (status < 200 || status > 299) {
        sink.refused(status);
        return stopped_at(TransferStage::Status, 0, status);
    }
    if (!sink.answered(request, status)) {
        return sink.failure(status);
    }
    DWORD total = 0;
    if (!query_number(request, WINHTTP_QUERY_CONTENT_LENGTH, &total)) {
        total = 0;
    }
    BodyBound bound{max_bytes, sink.held_before_body()};
    if (bound.announced_passes(total)) {
        return stopped_at(TransferStage::TooLong, 0, status);
    }
    if (!sink.begin(total)) {
        return sink.failure(status);
    }
    if (callback != nullptr) {
        callback(0, total, user_data);
    }
    return read_body(request, timer, sink, total, status, bound, callback, user_data);
}

}  // namespace

TransferResult stopped_at(TransferStage stage, DWORD win32_error, DWORD status) {
    TransferResult result;
    result.stage = stage;
    result.win32_error = win32_error;
    result.http_status = status;
    return result;
}

TransferResult transfer(const wchar_t* url, BodySink& sink, ProgressCallback callback,
                        void* user_data, uint32_t time_limit_ms, uint64_t max_bytes) {
    RequestTarget target;
    DWORD url_error = 0;
    if (!split_url(url, &target, &url_error)) {
        return stopped_at(TransferStage::Url, url_error);
    }
    RequestTimer timer(time_limit_ms);
    HINTERNET session = run_http_session();
    if (session == nullptr) {
        return stopped_at(TransferStage::Open, GetLastError());
    }
    UniqueInternet connection(WinHttpConnect(session, target.host, target.port, 0));
    if (!connection) {
        return stopped_at(TransferStage::Connect, GetLastError());
    }
    DWORD flags = target.scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              flags));
    if (!request) {
        return stopped_at(TransferStage::Request, GetLastError());
    }
    apply_url_proxy(request.get(), url);
    TransferResult sent = send_and_receive(request.get(), timer, sink);
    if (!sent) {
        return sent;
    }
    return take_answer(request.get(), timer, sink, max_bytes, callback, user_data);
}

}  // namespace velda
