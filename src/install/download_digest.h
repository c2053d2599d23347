#pragma once

#include "common/expected_digest.h"
#include "net/transfer_result.h"

namespace velda {

// Whether a download of what, vouched for by digest, may go ahead; logs why not.
[[nodiscard]] bool download_may_start(const ExpectedDigest& digest, bool required,
                                      const char* what);

// Logs what was discarded when a download stopped because its SHA-256 did not match.
void log_if_digest_mismatch(const TransferResult& result, const char* what);

}  // namespace velda
