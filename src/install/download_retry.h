#pragma once

#include <cstddef>
#include <cstdint>

#include "common/progress.h"
#include "net/http.h"
#include "net/transfer_result.h"

namespace velda {

// The package, the executable alone and each changed file get this many attempts; a retry
// continues what the attempt before it received.
inline constexpr int kDownloadAttempts = 4;

// Numbers the attempts. An attempt that brought more of the body than any before it, by at least
// the stall limit's minimum, starts the count again: a connection that is cut every so often
// still finishes a large body, and the limit holds for attempts that make no headway.
class AttemptCount {
  public:
    int number() const { return number_; }
    // After a failed attempt that left have bytes of the body: true, with number() the next
    // attempt's, when one is left.
    [[nodiscard]] bool next(uint64_t have);

  private:
    int number_ = 1;
    uint64_t best_have_ = 0;
};

// The wait before attempt number attempt (1 to kDownloadAttempts): none before the first, then
// 1, 2 and 4 s.
[[nodiscard]] uint32_t wait_before_attempt_ms(int attempt);

// False where another attempt would only meet the same answer: a URL the transfer refuses, a
// client error of the server (4xx but 408 and 429), a certificate that is refused, a target that
// stays busy after its own waits, a body longer than its bound.
[[nodiscard]] bool worth_another_attempt(const TransferResult& result);

// The log line (without the log's prefix) before attempt number attempt.
void format_retry_line(int attempt, char* out, size_t size);

// Up to kDownloadAttempts to-file GETs in a row without headway of url into file_path, each retry
// logged and continuing download's temporary file. After the last failure the temporary file stays
// only when keep_partial is set and it can be continued (download->part says what it holds), and
// the body did not pass download->max_bytes.
// A body that does not match expected_sha256 is tried again only when it had continued an
// earlier part. Returns the last attempt's result.
[[nodiscard]] TransferResult download_with_retries(const wchar_t* url, const char* file_path,
                                                   ProgressCallback callback, void* user_data,
                                                   const uint8_t* expected_sha256,
                                                   ContinuableDownload* download,
                                                   bool keep_partial);

}  // namespace velda
