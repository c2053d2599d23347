#include "install/download_retry.h"

#include <windows.h>

#include "common/log.h"
#include "common/path_size.h"

namespace velda {

TransferResult download_with_retries(const wchar_t* url, const char* file_path,
                                     ProgressCallback callback, void* user_data,
                                     const uint8_t* expected_sha256, ContinuableDownload* download,
                                     bool keep_partial) {
    AttemptCount attempts;
    TransferResult result;
    for (;;) {
        result = http_get_to_file_continuing(url, file_path, callback, user_data, expected_sha256,
                                             download);
        if (result) {
            return result;
        }
        // A whole body that does not hash right comes the same way again; one that continued an
        // earlier part may have joined two versions, and is worth one more try from 0.
        bool digest_worth_retry =
            result.stage != TransferStage::Digest || download->part.digest_failure_may_pass();
        if (!worth_another_attempt(result) || !digest_worth_retry ||
            !attempts.next(download->part.have())) {
            break;
        }
        char line[96] = {};
        format_retry_line(attempts.number(), line, sizeof line);
        log_line(line);
        Sleep(wait_before_attempt_ms(attempts.number()));
    }
    // A body longer than its bound is not the one asked for: its part goes.
    bool keep = keep_partial && result.stage != TransferStage::TooLong;
    char part_path[kPathSize] = {};
    if (download->part.given_up(keep) == PartAction::Delete && part_path_of(file_path, part_path)) {
        DeleteFileA(part_path);
    }
    return result;
}

}  // namespace velda
