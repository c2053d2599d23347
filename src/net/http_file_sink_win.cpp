#include "net/http_file_sink_win.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/busy_file.h"
#include "common/text.h"
#include "net/http_headers_win.h"

namespace velda {

TempFileSink::TempFileSink(const char* target, const uint8_t* expected_sha256,
                           ContinuableDownload* download)
    : target_(target),
      expected_sha256_(expected_sha256),
      download_(download),
      part_(download != nullptr ? download->part : own_part_) {
    // A cut name could hit another file: begin() refuses it.
    path_fits_ = part_path_of(target_, temp_path_);
    if (download_ != nullptr) {
        carry_out(part_.found_on_disk(size_on_disk()));
    }
}

TempFileSink::~TempFileSink() {
    hash_.wait();  // The thread may still read the spare buffer.
    if (created_) {
        if (!write_failed_ && part_.keeps_what_arrives()) {
            (void)flush(false);  // What arrived are the body's next bytes: worth keeping.
        }
        let_go(part_.attempt_stopped());
    }
    std::free(buffer_);
    std::free(spare_);
}

const wchar_t* TempFileSink::request_headers() {
    if (!part_.asks_rest()) {
        return kNoCacheHeaders;
    }
    char text[kRequestHeaderUnits] = {};
    format_bounded(text, sizeof text, "Range: bytes=%llu-\r\nIf-Range: %s\r\n",
                   static_cast<unsigned long long>(part_.have()), part_.partial().validator);
    size_t units = 0;
    for (const wchar_t* p = kNoCacheHeaders; *p != L'\0'; ++p) {
        request_headers_[units++] = *p;
    }
    for (const char* p = text; *p != '\0' && units + 1 < kRequestHeaderUnits; ++p) {
        request_headers_[units++] = static_cast<unsigned char>(*p);
    }
    request_headers_[units] = L'\0';
    return request_headers_;
}

void TempFileSink::refused(DWORD status) {
    carry_out(part_.refused(status));
}

bool TempFileSink::answered(HINTERNET request, DWORD status) {
    PartAction action = PartAction::Create;
    if (download_ == nullptr) {
        action = part_.answered(status, nullptr, nullptr, nullptr, 0);  // nothing to judge
    } else {
        ResumeHeaders headers(request);
        action = part_.answered(status, headers.content_range(), headers.etag(),
                                headers.last_modified(), headers.content_length());
    }
    carry_out(action);
    if (action == PartAction::Delete) {
        return fail(TransferStage::Range, 0);
    }
    bool new_body = action == PartAction::Create || action == PartAction::RestartFromZero;
    if (new_body && part_.keeps_what_arrives() && download_ != nullptr &&
        download_->on_new_body != nullptr) {
        download_->on_new_body(part_, download_->context);
    }
    return true;
}

bool TempFileSink::begin(uint32_t /*announced*/) {
    if (!path_fits_) {
        return fail(TransferStage::TempFile, 0);
    }
    if (!reserve(kBufferSize)) {
        return fail(TransferStage::Memory, 0);
    }
    if (expected_sha256_ != nullptr && !hash_.init()) {
        return fail(TransferStage::Digest, 0);
    }
    if (part_.state() == PartState::Continued) {
        return open_to_append();
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

char* TempFileSink::room(uint32_t count) {
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

bool TempFileSink::finish() {
    if (!flush(false)) {
        return false;
    }
    if (!FlushFileBuffers(file_.get())) {
        return fail(TransferStage::Write, GetLastError());
    }
    file_.reset();
    PartAction ending = part_.body_ended();
    if (ending != PartAction::Replace) {
        let_go(ending);
        return fail(TransferStage::Length, 0);
    }
    if (expected_sha256_ != nullptr && !digest_matches()) {
        let_go(part_.digest_failed());
        return fail(TransferStage::Digest, 0);
    }
    if (!replace_file_when_free(temp_path_, target_)) {
        DWORD error = GetLastError();
        let_go(part_.replace_failed());
        return fail(TransferStage::Replace, error);
    }
    part_.replaced();
    created_ = false;
    return true;
}

// The temporary file's size is what it holds of the body.
uint64_t TempFileSink::size_on_disk() const {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (path_fits_ && GetFileAttributesExA(temp_path_, GetFileExInfoStandard, &data) &&
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return 0;
}

// Only deletions happen at once; the part file is created or opened when the body begins, and
// takes the target's place when it is whole.
void TempFileSink::carry_out(PartAction action) {
    if ((action == PartAction::Delete || action == PartAction::RestartFromZero) && path_fits_) {
        DeleteFileA(temp_path_);
    }
}

void TempFileSink::let_go(PartAction action) {
    file_.reset();
    created_ = false;
    carry_out(action);
}

// The bytes already there are hashed first, so that the digest still covers the whole file.
bool TempFileSink::open_to_append() {
    file_.reset(CreateFileA(temp_path_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) {
        DWORD error = GetLastError();
        carry_out(part_.append_failed());
        return fail(TransferStage::TempFile, error);
    }
    created_ = true;
    if (!hash_what_is_held()) {
        return false;
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(part_.continued_from());
    if (!SetFilePointerEx(file_.get(), end, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
        return fail(TransferStage::TempFile, GetLastError());
    }
    return true;
}

bool TempFileSink::hash_what_is_held() {
    uint64_t left = part_.continued_from();
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
    return true;
}

bool TempFileSink::reserve(size_t capacity) {
    void* grown = std::realloc(buffer_, capacity);
    if (grown == nullptr) {
        return false;
    }
    buffer_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

bool TempFileSink::digest_matches() {
    uint8_t digest[kSha256Size] = {};
    if (!hash_.finish(digest)) {
        return false;
    }
    return std::memcmp(digest, expected_sha256_, kSha256Size) == 0;
}

// Hashes and writes what the buffer holds. In the background the buffer is hashed on the hash's
// thread while it is written and the next bytes arrive in the spare one.
bool TempFileSink::flush(bool in_background) {
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
            (void)hash_.update(buffer_, filled_);
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
        part_.wrote(written);
    }
    filled_ = 0;
    if (handed_over) {
        std::swap(buffer_, spare_);
        std::swap(capacity_, spare_capacity_);
    }
    return true;
}

}  // namespace velda
