#include "net/http.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/path_size.h"
#include "common/text.h"
#include "common/win_handle.h"

namespace {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type empty() { return nullptr; }
    static void close(Type value) { WinHttpCloseHandle(value); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

constexpr DWORD kHostUnits = 256;
constexpr DWORD kTargetUnits = 2048;
constexpr wchar_t kUserAgent[] = L"VeldaLauncher/1.0";
constexpr wchar_t kNoCacheHeaders[] =
    L"Cache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\nExpires: 0\r\n";
// Counters are 32 bits: a body must stay below 4 GiB minus one byte.
constexpr uint64_t kBodyLimit = 0xFFFFFFFFull;

// Where the body goes as it arrives. The read loop asks for room for the bytes the connection
// has available, reads into it, then hands the count back.
class BodySink {
  public:
    // The response was accepted; announced is its Content-Length or 0.
    virtual bool begin(uint32_t announced) = 0;
    // Room for at least count bytes, or null when there is none.
    virtual char* room(uint32_t count) = 0;
    virtual void commit(uint32_t count) = 0;

  protected:
    ~BodySink() = default;
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

// Splits the URL and applies the size limits, before any network activity.
bool split_url(const wchar_t* url, RequestTarget* target) {
    URL_COMPONENTS parts;
    ZeroMemory(&parts, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) {
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

bool read_body(HINTERNET request, BodySink& sink, uint32_t total, ProgressCallback callback,
               void* user_data) {
    uint32_t received = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            return false;
        }
        if (available == 0) {
            break;
        }
        if (received + static_cast<uint64_t>(available) >= kBodyLimit) {
            return false;
        }
        char* place = sink.room(available);
        if (place == nullptr) {
            return false;
        }
        DWORD read = 0;
        if (!WinHttpReadData(request, place, available, &read)) {
            return false;
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
    return total == 0 || received >= total;
}

// The GET both operations share; the handles close in the order request, connection, session.
bool transfer(const wchar_t* url, BodySink& sink, ProgressCallback callback, void* user_data) {
    RequestTarget target;
    if (!split_url(url, &target)) {
        return false;
    }
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        return false;
    }
    UniqueInternet connection(WinHttpConnect(session.get(), target.host, target.port, 0));
    if (!connection) {
        return false;
    }
    DWORD flags = target.scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", target.path, nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                              flags));
    if (!request) {
        return false;
    }
    if (!WinHttpSendRequest(request.get(), kNoCacheHeaders, static_cast<DWORD>(-1),
                            WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        return false;
    }
    DWORD status = 0;
    if (!query_number(request.get(), WINHTTP_QUERY_STATUS_CODE, &status) || status < 200 ||
        status > 299) {
        return false;
    }
    DWORD total = 0;
    if (!query_number(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, &total)) {
        total = 0;
    }
    if (!sink.begin(total)) {
        return false;
    }
    if (callback != nullptr) {
        callback(0, total, user_data);
    }
    return read_body(request.get(), sink, total, callback, user_data);
}

// One malloc block that grows geometrically, so the whole GET costs linear time.
class MemorySink final : public BodySink {
  public:
    ~MemorySink() { std::free(data_); }

    bool begin(uint32_t announced) override {
        announced_ = announced;
        if (announced == 0) {
            return true;
        }
        // A length announced by the server is trusted only up to a sensible first block.
        return grow(announced <= kFirstBlockCap ? announced + size_t{1} : kFirstBlockCap);
    }

    char* room(uint32_t count) override {
        size_t needed = size_ + count + 1;
        if (needed > capacity_ && !grow(next_capacity(needed))) {
            return nullptr;
        }
        return data_ + size_;
    }

    void commit(uint32_t count) override { size_ += count; }

    // Hands the block over: body, NUL, and the length without it.
    bool finish(char** body, uint32_t* length) {
        if (data_ == nullptr && !grow(1)) {
            return false;
        }
        // Give back what geometric growth reserved beyond the body; keep the block if that fails.
        if (capacity_ > size_ + 1) {
            grow(size_ + 1);
        }
        data_[size_] = '\0';
        *body = data_;
        *length = static_cast<uint32_t>(size_);
        data_ = nullptr;
        return true;
    }

  private:
    static constexpr size_t kFirstBlockCap = 64u << 20;

    size_t next_capacity(size_t needed) const {
        size_t doubled = capacity_ * 2;
        size_t grown = doubled > needed ? doubled : needed;
        // Land exactly on the announced length when the next step reaches it.
        size_t announced_size = announced_ + size_t{1};
        if (announced_ != 0 && announced_size >= needed && announced_size <= grown) {
            return announced_size;
        }
        return grown < kBodyLimit ? grown : kBodyLimit;
    }

    bool grow(size_t capacity) {
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
        return true;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    uint32_t announced_ = 0;
};

// Streams the body into "<target>.velda-part" beside the target; the target is replaced only once
// the whole body is on disk, and the temporary file is deleted on every failure.
class TempFileSink final : public BodySink {
  public:
    explicit TempFileSink(const char* target) : target_(target) {}

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
            return false;  // A cut name could hit another file.
        }
        format_bounded(temp_path_, sizeof temp_path_, "%s%s", target_, kPartialDownloadSuffix);
        // CREATE_ALWAYS takes over a leftover of an interrupted run.
        file_.reset(CreateFileA(temp_path_, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            return false;
        }
        created_ = true;
        return reserve(kBufferSize);
    }

    char* room(uint32_t count) override {
        if (count > capacity_ - filled_) {
            if (!flush()) {
                return nullptr;
            }
            if (count > capacity_ && !reserve(count)) {
                return nullptr;
            }
        }
        return buffer_ + filled_;
    }

    void commit(uint32_t count) override { filled_ += count; }

    // Called after the transfer succeeded: the data reaches the disk before the swap.
    bool finish() {
        if (!flush() || !FlushFileBuffers(file_.get())) {
            return false;
        }
        file_.reset();
        if (!MoveFileExA(temp_path_, target_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return false;
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

    bool flush() {
        size_t offset = 0;
        while (offset < filled_) {
            DWORD written = 0;
            DWORD chunk = static_cast<DWORD>(filled_ - offset);
            if (!WriteFile(file_.get(), buffer_ + offset, chunk, &written, nullptr) ||
                written == 0) {
                return false;
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
};

}  // namespace

bool http_get_to_memory_with_progress(const wchar_t* url, char** body, uint32_t* length,
                                      ProgressCallback callback, void* user_data) {
    MemorySink sink;
    return transfer(url, sink, callback, user_data) && sink.finish(body, length);
}

bool http_get_to_file_with_progress(const wchar_t* url, const char* file_path,
                                    ProgressCallback callback, void* user_data) {
    TempFileSink sink(file_path);
    return transfer(url, sink, callback, user_data) && sink.finish();
}
