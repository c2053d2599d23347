#include "install/download_retry.h"

#include <windows.h>

#include <cstring>

#include "common/log.h"
#include "common/path_size.h"
#include "common/text.h"

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
        bool digest_worth_retry = result.stage != TransferStage::Digest || download->continued;
        if (!worth_another_attempt(result) || !digest_worth_retry ||
            !attempts.next(download->partial.have)) {
            break;
        }
        char line[96] = {};
        format_retry_line(attempts.number(), line, sizeof line);
        log_line(line);
        Sleep(wait_before_attempt_ms(attempts.number()));
    }
    size_t length = std::strlen(file_path) + sizeof kPartialDownloadSuffix;
    if ((!keep_partial || !partial_can_continue(download->partial)) && length <= kPathSize) {
        char partial_path[kPathSize] = {};
        format_bounded(partial_path, sizeof partial_path, "%s%s", file_path,
                       kPartialDownloadSuffix);
        DeleteFileA(partial_path);
        download->partial = PartialDownload{};
    }
    return result;
}
