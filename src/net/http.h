#pragma once

#include <cstdint>

#include "common/progress.h"
#include "net/body_bound.h"
#include "net/http_body.h"
#include "net/part_file.h"
#include "net/transfer_result.h"

namespace velda {

// The callback is called once before the first read and after every read, with the bytes
// received; total is 0 when no length was announced. Each GET reports where it stopped. Every
// GET fails when no byte moves for kStallLimitMs (net/transfer_deadline.h), and all of them go
// through the run's one session, so connections are kept alive from one GET to the next.

// Every GET takes at most max_bytes of body: one that announces more stops before its body, one
// that brings more stops before the bytes past the bound are read (TransferStage::TooLong).

// Blocking GET into memory. *body is replaced only on success. With a time_limit_ms other than
// 0 the whole GET, from name lookup to the last byte, fails once it has run that long.
[[nodiscard]] TransferResult http_get_to_memory_with_progress(const wchar_t* url, HttpBody* body,
                                                              ProgressCallback callback,
                                                              void* user_data,
                                                              uint32_t time_limit_ms = 0,
                                                              uint64_t max_bytes = kNoBodyBound);

// Blocking GET into a file; the target is replaced only once the whole body has been written
// and, when expected_sha256 (32 bytes) is given, only if the body hashes to it.
[[nodiscard]] TransferResult http_get_to_file_with_progress(
    const wchar_t* url, const char* file_path, ProgressCallback callback, void* user_data,
    const uint8_t* expected_sha256 = nullptr, uint32_t time_limit_ms = 0,
    uint64_t max_bytes = kNoBodyBound);

// Closes the run's session, which the first GET opened; a later GET opens a new one. Called once
// at exit, after the last GET.
void http_close_session();

// A to-file GET that can continue the temporary file of an earlier attempt.
struct ContinuableDownload {
    PartFile part;
    // Called when an answer starts the body anew and names a validator, before any of it is
    // written, so that a record of it can outlive the process. May be null.
    void (*on_new_body)(const PartFile& part, void* context) = nullptr;
    void* context = nullptr;
    // The whole body's bound, the bytes of the continued part included.
    uint64_t max_bytes = kNoBodyBound;
};

// As http_get_to_file_with_progress, but a temporary file that download->part describes is
// continued when the server answers for exactly its rest and the same body; any other answer
// starts it again from 0. Progress counts the whole body. On failure the temporary file stays
// when it can be continued, and download->part says what it holds; otherwise it is deleted and
// the part forgotten. The expected SHA-256 covers the whole file, the continued bytes included.
[[nodiscard]] TransferResult http_get_to_file_continuing(const wchar_t* url, const char* file_path,
                                                         ProgressCallback callback, void* user_data,
                                                         const uint8_t* expected_sha256,
                                                         ContinuableDownload* download);

}  // namespace velda
