#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/crypto.h"
#include "common/path_size.h"
#include "common/text.h"
#include "common/win_handle.h"
#include "net/http_session_win.h"
#include "net/request_timer_win.h"

namespace {

constexpr DWORD kHostUnits = 256;
constexpr DWORD kTargetUnits = 2048;
constexpr wchar_t kNoCacheHeaders[] =
    L"Cache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\nExpires: 0\r\n";
// What a GET reports when it stops at stage; status is the HTTP status once one was read.
TransferResult stopped_at(TransferStage stage, DWORD win32_error, DWORD status = 0) {
    TransferResult result;
    result.stage = stage;
    result.win32_error = win32_error;
    result.http_status = status;
    return result;
}

// Where the body goes as it arrives. The read loop asks for room for the bytes the connection
// has available, reads into it, then hands the count back. A sink that fails says where.
class BodySink {
  public:
    // The response was accepted; announced is its Content-Length or 0.
    virtual bool begin(uint32_t announced) = 0;
    // Room for at least count bytes, or null when there is none.
    virtual char* room(uint32_t count) = 0;
    virtual void commit(uint32_t count) = 0;

    TransferStage failed_stage() const { return failed_stage_; }
    DWORD failed_error() const { return failed_error_; }

  protected:
    ~BodySink() = default;
    bool fail(TransferStage stage, DWORD error) {
        failed_stage_ = stage;
        failed_error_ = error;
        return false;
    }

  private:
    TransferStage failed_stage_ = TransferStage::Done;
    DWORD failed_error_ = 0;
};

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

bool query_number(HINTERNET request, DWORD level, DWORD* value) {
    DWORD size = sizeof *value;
    return WinHttpQueryHeaders(request, level | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                               WINHTTP_NO_HEADER_INDEX) != FALSE;
}

TransferResult read_body(HINTERNET request, RequestTimer& timer, BodySink& sink, uint32_t total,
                         DWORD status, ProgressCallback callback, void* user_data) {
    uint32_t received = 0;
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
        char* place = sink.room(available);
        if (place == nullptr) {
            return stopped_at(sink.failed_stage(), sink.failed_error(), status);
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
    }
    // A connection that closes early also reads as the end of the body: only the announced
    // length tells a cut body from a whole one.
    if (total != 0 && received < total) {
        return stopped_at(TransferStage::Length, 0, status);
    }
    return stopped_at(TransferStage::Done, 0, status);
}

// The GET both operations share; the request and connection close in this order, on the run's
// session. time_limit_ms 0: only the stall limit applies.
TransferResult transfer(const wchar_t* url, BodySink& sink, ProgressCallback callback,
                        void* user_data, uint32_t time_limit_ms = 0) {
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
    if (!timer.before_call(request.get())) {
        return stopped_at(TransferStage::TimeLimit, 0);
    }
    if (!WinHttpSendRequest(request.get(), kNoCacheHeaders, static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        return timer.failure(TransferStage::Send);
    }
    if (!timer.before_call(request.get())) {
        return stopped_at(TransferStage::TimeLimit, 0);
    }
    if (!WinHttpReceiveResponse(request.get(), nullptr)) {
        return timer.failure(TransferStage::ReceiveHeaders);
    }
    DWORD status = 0;
    if (!query_number(request.get(), WINHTTP_QUERY_STATUS_CODE, &status)) {
        return stopped_at(TransferStage::Status, GetLastError());
    }
    if (status < 200 || status > 299) {
        return stopped_at(TransferStage::Status, 0, status);
    }
    DWORD total = 0;
    if (!query_number(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, &total)) {
        total = 0;
    }
    if (!sink.begin(total)) {
        return stopped_at(sink.failed_stage(), sink.failed_error(), status);
    }
    if (callback != nullptr) {
        callback(0, total, user_data);
    }
    return read_body(request.get(), timer, sink, total, status, callback, user_data);
}

// The owned body behind the sink interface; its block grows as HttpBody's rules say.
class MemorySink final : public BodySink {
  public:
    bool begin(uint32_t announced) override {
        return body_.begin(announced) || fail(TransferStage::Memory, 0);
    }
    char* room(uint32_t count) override {
        char* place = body_.room(count);
        if (place == nullptr) {
            fail(TransferStage::Memory, 0);
        }
        return place;
    }
    void commit(uint32_t count) override { body_.commit(count); }

    // Called after the transfer succeeded: body, NUL, and the block cut to fit.
    bool finish() { return body_.finish() || fail(TransferStage::Memory, 0); }
    HttpBody& body() { return body_; }

  private:
    HttpBody body_;
};

// Streams the body into "<target>.velda-part" beside the target; the target is replaced only once
// the whole body is on disk, and the temporary file is deleted on every failure.
class TempFileSink final : public BodySink {
  public:
    TempFileSink(const char* target, const uint8_t* expected_sha256)
        : target_(target), expected_sha256_(expected_sha256) {}

    ~TempFileSink() {
        if (created_) {
            file_.reset();
            DeleteFileA(temp_path_);
        }
        std::free(buffer_);
    }

    bool begin(uint32_t /*announced*/) override {
        size_t length = std::strlen(target_);
        if (length + sizeof kPartialDownloadSuffix > sizeof temp_path_) {
            return fail(TransferStage::TempFile, 0);  // A cut name could hit another file.
        }
        format_bounded(temp_path_, sizeof temp_path_, "%s%s", target_, kPartialDownloadSuffix);
        // CREATE_ALWAYS takes over a leftover of an interrupted run.
        file_.reset(CreateFileA(temp_path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            return fail(TransferStage::TempFile, GetLastError());
        }
        created_ = true;
        if (expected_sha256_ != nullptr && !hash_.init()) {
            return fail(TransferStage::Digest, 0);
        }
        return reserve(kBufferSize) || fail(TransferStage::Memory, 0);
    }

    char* room(uint32_t count) override {
        if (count > capacity_ - filled_) {
            if (!flush()) {
                return nullptr;
            }
            if (count > capacity_ && !reserve(count)) {
                fail(TransferStage::Memory, 0);
                return nullptr;
            }
        }
        return buffer_ + filled_;
    }

    void commit(uint32_t count) override {
        if (expected_sha256_ != nullptr && !hash_.update(buffer_ + filled_, count)) {
            hash_failed_ = true;
        }
        filled_ += count;
    }

    // Called after the transfer succeeded: the data reaches the disk before the swap.
    bool finish() {
        if (!flush()) {
            return false;
        }
        if (!FlushFileBuffers(file_.get())) {
            return fail(TransferStage::Write, GetLastError());
        }
        file_.reset();
        if (expected_sha256_ != nullptr && !digest_matches()) {
            return fail(TransferStage::Digest, 0);  // The destructor deletes the temporary file.
        }
        if (!MoveFileExA(temp_path_, target_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return fail(TransferStage::Replace, GetLastError());
        }
        created_ = false;
        return true;
    }

  private:
    // Fewer, larger writes than the 8 to 16 KiB WinHTTP hands out per read.
    static constexpr size_t kBufferSize = 1u << 20;

    bool reserve(size_t capacity) {
        void* grown = std::realloc(buffer_, capacity);
        if (grown == nullptr) {
            return false;
        }
        buffer_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }

    bool digest_matches() {
        uint8_t digest[kSha256Size] = {};
        if (hash_failed_ || !hash_.finish(digest)) {
            return false;
        }
        return std::memcmp(digest, expected_sha256_, kSha256Size) == 0;
    }

    bool flush() {
        size_t offset = 0;
        while (offset < filled_) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(filled_ - offset);
            if (!WriteFile(file_.get(), buffer_ + offset, chunk, &written, nullptr)) {
                return fail(TransferStage::Write, GetLastError());
            }
            if (written == 0) {
                return fail(TransferStage::Write, 0);
            }
            offset += written;
        }
        filled_ = 0;
        return true;
    }

    const char* target_;
    char temp_path_[kPathSize] = {};
    UniqueFileHandle file_;
    bool created_ = false;
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    const uint8_t* expected_sha256_;
    Sha256 hash_;
    bool hash_failed_ = false;
};

// A sink that fails once the body is in keeps the status the transfer read.
TransferResult sink_failure(const BodySink& sink, uint32_t http_status) {
    return stopped_at(sink.failed_stage(), sink.failed_error(), http_status);
}

}  // namespace

TransferResult http_get_to_memory_with_progress(const wchar_t* url, HttpBody* body,
                                                ProgressCallback callback, void* user_data,
                                                uint32_t time_limit_ms) {
    MemorySink sink;
    TransferResult result = transfer(url, sink, callback, user_data, time_limit_ms);
    if (result && !sink.finish()) {
        result = sink_failure(sink, result.http_status);
    }
    if (result) {
        *body = std::move(sink.body());
    }
    return result;
}

TransferResult http_get_to_file_with_progress(const wchar_t* url, const char* file_path,
                                              ProgressCallback callback, void* user_data,
                                              const uint8_t* expected_sha256) {
    TempFileSink sink(file_path, expected_sha256);
    TransferResult result = transfer(url, sink, callback, user_data);
    if (result && !sink.finish()) {
        result = sink_failure(sink, result.http_status);
    }
    return result;
}
