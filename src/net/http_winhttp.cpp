#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/busy_file.h"
#include "common/crypto.h"
#include "common/path_size.h"
#include "common/text.h"
#include "common/win_handle.h"
#include "net/http_session_win.h"
#include "net/request_timer_win.h"

namespace {

constexpr DWORD kHostUnits = 256;
constexpr DWORD kTargetUnits = 2048;
constexpr DWORD kRangeNotSatisfiable = 416;
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
    // What the request sends besides its target: the no-cache headers, and a sink's own.
    virtual const wchar_t* request_headers() { return kNoCacheHeaders; }
    // The status was accepted; a sink that needs the answer's other headers reads them here.
    virtual bool answered(HINTERNET /*request*/, DWORD /*status*/) { return true; }
    // The server answered with a status other than 2xx.
    virtual void refused(DWORD /*status*/) {}

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
    if (!WinHttpSendRequest(request.get(), sink.request_headers(), static_cast<DWORD>(-1),
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
        sink.refused(status);
        return stopped_at(TransferStage::Status, 0, status);
    }
    if (!sink.answered(request.get(), status)) {
        return stopped_at(sink.failed_stage(), sink.failed_error(), status);
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

// A header's value as printable ASCII in out; false when it is absent, longer than out holds, or
// holds anything else (such a validator could not be sent back as it came).
bool query_text(HINTERNET request, DWORD level, char* out, size_t size) {
    wchar_t wide[kValidatorSize] = {};
    DWORD bytes = sizeof wide;
    if (!WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, wide, &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    size_t units = bytes / sizeof(wchar_t);
    if (units >= size) {
        return false;
    }
    for (size_t i = 0; i < units; ++i) {
        if (wide[i] < 0x20 || wide[i] > 0x7E) {
            return false;
        }
        out[i] = static_cast<char>(wide[i]);
    }
    out[units] = '\0';
    return true;
}

// Streams the body into "<target>.velda-part" beside the target; the target is replaced only once
// the whole body is on disk. The temporary file is deleted on every failure, unless a
// continuable download keeps it for the next attempt.
class TempFileSink final : public BodySink {
  public:
    TempFileSink(const char* target, const uint8_t* expected_sha256,
                 ContinuableDownload* download = nullptr)
        : target_(target), expected_sha256_(expected_sha256), download_(download) {
        // A cut name could hit another file: begin() refuses it.
        path_fits_ = std::strlen(target_) + sizeof kPartialDownloadSuffix <= sizeof temp_path_;
        if (path_fits_) {
            format_bounded(temp_path_, sizeof temp_path_, "%s%s", target_, kPartialDownloadSuffix);
        }
        if (download_ != nullptr) {
            measure_partial();
        }
    }

    ~TempFileSink() {
        hash_.wait();  // The thread may still read the spare buffer.
        if (created_ && !write_failed_ && download_ != nullptr &&
            download_->partial.validator[0] != '\0') {
            flush(false);  // What arrived are the body's next bytes: worth keeping.
        }
        if (created_ && keeps_partial()) {
            file_.reset();
        } else if (created_) {
            file_.reset();
            DeleteFileA(temp_path_);
            forget_partial();
        }
        std::free(buffer_);
        std::free(spare_);
    }

    const wchar_t* request_headers() override {
        if (download_ == nullptr || !partial_can_continue(download_->partial)) {
            return kNoCacheHeaders;
        }
        char text[kRequestHeaderUnits] = {};
        format_bounded(text, sizeof text, "Range: bytes=%llu-\r\nIf-Range: %s\r\n",
                       static_cast<unsigned long long>(download_->partial.have),
                       download_->partial.validator);
        size_t units = 0;
        for (const wchar_t* p = kNoCacheHeaders; *p != L'\0'; ++p) {
            request_headers_[units++] = *p;
        }
        for (const char* p = text; *p != '\0' && units + 1 < kRequestHeaderUnits; ++p) {
            request_headers_[units++] = static_cast<unsigned char>(*p);
        }
        request_headers_[units] = L'\0';
        range_sent_ = true;
        return request_headers_;
    }

    // A range the server cannot satisfy: the part is not the start of what it serves now.
    void refused(DWORD status) override {
        if (range_sent_ && status == kRangeNotSatisfiable) {
            DeleteFileA(temp_path_);
            forget_partial();
        }
    }

    bool answered(HINTERNET request, DWORD status) override {
        if (download_ == nullptr) {
            return true;
        }
        char range[128] = {};
        char etag[kValidatorSize] = {};
        char modified[kValidatorSize] = {};
        bool has_range = query_text(request, WINHTTP_QUERY_CONTENT_RANGE, range, sizeof range);
        bool has_etag = query_text(request, WINHTTP_QUERY_ETAG, etag, sizeof etag);
        bool has_modified =
            query_text(request, WINHTTP_QUERY_LAST_MODIFIED, modified, sizeof modified);
        PartialDownload& partial = download_->partial;
        switch (judge_answer(partial, status, has_range ? range : nullptr,
                             has_etag ? etag : nullptr, has_modified ? modified : nullptr)) {
            case AnswerUse::Continue:
                continued_from_ = partial.have;
                download_->continued = true;
                return true;
            case AnswerUse::Refuse:
                DeleteFileA(temp_path_);  // Never continued by a part of unknown origin.
                forget_partial();
                return fail(TransferStage::Range, 0);
            case AnswerUse::Restart:
                break;
        }
        // A new body: whatever the temporary file held belongs to another answer.
        DeleteFileA(temp_path_);
        forget_partial();
        DWORD length = 0;
        if (choose_validator(has_etag ? etag : nullptr, has_modified ? modified : nullptr,
                             partial.validator) &&
            query_number(request, WINHTTP_QUERY_CONTENT_LENGTH, &length) && length > 0) {
            partial.total = length;
            if (download_->on_new_body != nullptr) {
                download_->on_new_body(partial, download_->context);
            }
        } else {
            forget_partial();
        }
        return true;
    }

    bool begin(uint32_t /*announced*/) override {
        if (!path_fits_) {
            return fail(TransferStage::TempFile, 0);
        }
        if (!reserve(kBufferSize)) {
            return fail(TransferStage::Memory, 0);
        }
        if (expected_sha256_ != nullptr && !hash_.init()) {
            return fail(TransferStage::Digest, 0);
        }
        if (continuing()) {
            return open_to_continue();
        }
        // CREATE_ALWAYS takes over a leftover of an interrupted run.
        file_.reset(CreateFileA(temp_path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            return fail(TransferStage::TempFile, GetLastError());
        }
        created_ = true;
        return true;
    }

    char* room(uint32_t count) override {
        if (count > capacity_ - filled_) {
            if (!flush(true)) {
                return nullptr;
            }
            if (count > capacity_ && !reserve(count)) {
                fail(TransferStage::Memory, 0);
                return nullptr;
            }
        }
        return buffer_ + filled_;
    }

    void commit(uint32_t count) override { filled_ += count; }

    // Called after the transfer succeeded: the data reaches the disk before the swap.
    bool finish() {
        if (!flush(false)) {
            return false;
        }
        if (!FlushFileBuffers(file_.get())) {
            return fail(TransferStage::Write, GetLastError());
        }
        file_.reset();
        // A continued body that announced no length of its own ends where the connection did:
        // only the first answer's length tells a whole file from a cut one.
        if (download_ != nullptr && download_->partial.total != 0 &&
            download_->partial.have != download_->partial.total) {
            return fail(TransferStage::Length, 0);  // What arrived stays, to be continued.
        }
        forget_partial();  // Whole now: nothing to continue, whatever follows.
        if (expected_sha256_ != nullptr && !digest_matches()) {
            return fail(TransferStage::Digest, 0);  // The destructor deletes the temporary file.
        }
        if (!replace_file_when_free(temp_path_, target_)) {
            return fail(TransferStage::Replace, GetLastError());
        }
        created_ = false;
        return true;
    }

    bool continuing() const { return continued_from_ > 0; }
    uint64_t continued_from() const { return continued_from_; }
    uint64_t whole_length() const { return download_ != nullptr ? download_->partial.total : 0; }

  private:
    // Fewer, larger writes than the 8 to 16 KiB WinHTTP hands out per read.
    static constexpr size_t kBufferSize = 1u << 20;
    static constexpr size_t kRequestHeaderUnits = 512 + kValidatorSize;

    // The temporary file's size is what it holds of the body; a file that cannot be continued
    // goes, so that nothing of another body is ever appended to.
    void measure_partial() {
        PartialDownload& partial = download_->partial;
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        partial.have = 0;
        if (path_fits_ && GetFileAttributesExA(temp_path_, GetFileExInfoStandard, &data) &&
            (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            partial.have = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        if (!partial_can_continue(partial)) {
            if (path_fits_) {
                DeleteFileA(temp_path_);
            }
            forget_partial();
        }
    }

    void forget_partial() {
        if (download_ != nullptr) {
            download_->partial = PartialDownload{};
        }
    }

    bool keeps_partial() const {
        return download_ != nullptr && partial_can_continue(download_->partial);
    }

    // The bytes already there are hashed first, so that the digest still covers the whole file.
    bool open_to_continue() {
        file_.reset(CreateFileA(temp_path_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            DWORD error = GetLastError();
            forget_partial();
            return fail(TransferStage::TempFile, error);
        }
        created_ = true;
        uint64_t left = continued_from_;
        while (expected_sha256_ != nullptr && left > 0) {
            DWORD chunk = static_cast<DWORD>(left < capacity_ ? left : capacity_);
            DWORD read = 0;
            if (!ReadFile(file_.get(), buffer_, chunk, &read, nullptr) || read == 0) {
                return fail(TransferStage::TempFile, GetLastError());
            }
            if (!hash_.update(buffer_, read)) {
                return fail(TransferStage::Digest, 0);
            }
            left -= read;
        }
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(continued_from_);
        if (!SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(file_.get())) {
            return fail(TransferStage::TempFile, GetLastError());
        }
        return true;
    }

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
        if (!hash_.finish(digest)) {
            return false;
        }
        return std::memcmp(digest, expected_sha256_, kSha256Size) == 0;
    }

    // Hashes and writes what the buffer holds. In the background the buffer is hashed on the
    // hash's thread while it is written and the next bytes arrive in the spare one.
    bool flush(bool in_background) {
        bool handed_over = in_background && expected_sha256_ != nullptr && filled_ > 0;
        if (expected_sha256_ != nullptr && filled_ > 0) {
            if (in_background && spare_ == nullptr) {
                spare_ = static_cast<char*>(std::malloc(capacity_));
                if (spare_ == nullptr) {
                    return fail(TransferStage::Memory, 0);
                }
                spare_capacity_ = capacity_;
            }
            // A failure to hash shows when the digest is taken.
            if (handed_over) {
                hash_.update_async(buffer_, filled_);
            } else {
                hash_.update(buffer_, filled_);
            }
        }
        size_t offset = 0;
        while (offset < filled_) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(filled_ - offset);
            if (!WriteFile(file_.get(), buffer_ + offset, chunk, &written, nullptr)) {
                write_failed_ = true;  // The part ends at what was written.
                return fail(TransferStage::Write, GetLastError());
            }
            if (written == 0) {
                write_failed_ = true;
                return fail(TransferStage::Write, 0);
            }
            offset += written;
            if (download_ != nullptr) {
                download_->partial.have += written;
            }
        }
        filled_ = 0;
        if (handed_over) {
            std::swap(buffer_, spare_);
            std::swap(capacity_, spare_capacity_);
        }
        return true;
    }

    const char* target_;
    char temp_path_[kPathSize] = {};
    bool path_fits_ = false;
    UniqueFileHandle file_;
    bool created_ = false;
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    char* spare_ = nullptr;  // hashed while buffer_ fills
    size_t spare_capacity_ = 0;
    const uint8_t* expected_sha256_;
    BackgroundSha256 hash_;
    ContinuableDownload* download_;
    uint64_t continued_from_ = 0;
    bool range_sent_ = false;
    bool write_failed_ = false;
    wchar_t request_headers_[kRequestHeaderUnits] = {};
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

namespace {

// Progress of a continued body counts the bytes that an earlier attempt brought.
struct WholeBodyProgress {
    ProgressCallback callback;
    void* user_data;
    const TempFileSink* sink;
};

void report_whole_body(uint32_t received, uint32_t total, void* user_data) {
    const WholeBodyProgress* progress = static_cast<const WholeBodyProgress*>(user_data);
    if (progress->sink->continuing()) {
        received += static_cast<uint32_t>(progress->sink->continued_from());
        total = static_cast<uint32_t>(progress->sink->whole_length());
    }
    progress->callback(received, total, progress->user_data);
}

}  // namespace

TransferResult http_get_to_file_continuing(const wchar_t* url, const char* file_path,
                                           ProgressCallback callback, void* user_data,
                                           const uint8_t* expected_sha256,
                                           ContinuableDownload* download) {
    download->continued = false;
    TempFileSink sink(file_path, expected_sha256, download);
    WholeBodyProgress progress{callback, user_data, &sink};
    TransferResult result =
        transfer(url, sink, callback != nullptr ? report_whole_body : nullptr, &progress);
    if (result && !sink.finish()) {
        result = sink_failure(sink, result.http_status);
    }
    return result;
}
