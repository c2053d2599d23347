#pragma once

#include <cstdint>

#include "common/progress.h"
#include "net/http_body.h"
#include "net/transfer_result.h"

// The callback is called once before the first read and after every read, with the bytes
// received; total is 0 when no length was announced. Each GET reports where it stopped.

// Blocking GET into memory. *body is replaced only on success.
TransferResult http_get_to_memory_with_progress(const wchar_t* url, HttpBody* body,
                                                ProgressCallback callback, void* user_data);

// Suffix of the temporary file beside a to-file GET's target while the body arrives.
inline constexpr char kPartialDownloadSuffix[] = ".velda-part";

// Blocking GET into a file; the target is replaced only once the whole body has been written
// and, when expected_sha256 (32 bytes) is given, only if the body hashes to it.
TransferResult http_get_to_file_with_progress(const wchar_t* url, const char* file_path,
                                              ProgressCallback callback, void* user_data,
                                              const uint8_t* expected_sha256 = nullptr);
