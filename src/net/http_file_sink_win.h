#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>
#include <cstdint>

#include "common/crypto.h"
#include "common/path_size.h"
#include "common/win_handle.h"
#include "net/http.h"
#include "net/http_request_win.h"
#include "net/part_file.h"

namespace velda {

// Streams the body into "<target>.velda-part" beside the target, hashing it on the way, and
// renames it onto the target once the whole body is on disk. What becomes of the part file
// between those steps the download's PartFile decides; this sink only carries its actions out.
// Without a download the part is not resumable: it goes whenever the GET fails.
class TempFileSink final : public BodySink {
  public:
    TempFileSink(const char* target, const uint8_t* expected_sha256,
                 ContinuableDownload* download = nullptr);
    ~TempFileSink();
    TempFileSink(const TempFileSink&) = delete;
    TempFileSink& operator=(const TempFileSink&) = delete;

    const wchar_t* request_headers() override;
    void refused(DWORD status) override;
    bool answered(HINTERNET request, DWORD status) override;
    uint64_t held_before_body() const override { return part_.continued_from(); }
    bool begin(uint32_t announced) override;
    char* room(uint32_t count) override;
    void commit(uint32_t count) override { filled_ += count; }

    // Called after the transfer succeeded: the data reaches the disk before the swap.
    [[nodiscard]] bool finish();

    const PartFile& part() const { return part_; }

  private:
    // Fewer, larger writes than the 8 to 16 KiB WinHTTP hands out per read.
    static constexpr size_t kBufferSize = 1u << 20;
    static constexpr size_t kRequestHeaderUnits = 512 + kValidatorSize;

    uint64_t size_on_disk() const;
    void carry_out(PartAction action);
    // The attempt is done with the part file: what the part decided happens to it now.
    void let_go(PartAction action);
    bool open_to_append();
    bool hash_what_is_held();
    bool reserve(size_t capacity);
    bool digest_matches();
    bool flush(bool in_background);

    const char* target_;
    char temp_path_[kPathSize] = {};
    bool path_fits_ = false;
    UniqueFileHandle file_;
    bool created_ = false;  // this attempt opened the part file and is not done with it
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t filled_ = 0;
    char* spare_ = nullptr;  // hashed while buffer_ fills
    size_t spare_capacity_ = 0;
    const uint8_t* expected_sha256_;
    BackgroundSha256 hash_;
    ContinuableDownload* download_;
    PartFile own_part_ = PartFile::not_resumable();
    PartFile& part_;
    bool write_failed_ = false;
    wchar_t request_headers_[kRequestHeaderUnits] = {};
};

}  // namespace velda
