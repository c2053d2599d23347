#include "install/download_retry.h"

#include "common/text.h"
#include "net/transfer_deadline.h"

namespace velda {

namespace {

// WinHTTP's certificate failures: ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, _CN_INVALID,
// _INVALID_CA, _CERT_REV_FAILED, _CHANNEL_ERROR (a handshake that the two sides cannot agree on;
// Wine reports a refused certificate so), _INVALID_CERT, _CERT_REVOKED, _FAILURE.
constexpr uint32_t kCertificateErrors[] = {12037, 12038, 12045, 12057, 12157, 12169, 12170, 12175};

bool refused_certificate(uint32_t win32_error) {
    for (uint32_t error : kCertificateErrors) {
        if (error == win32_error) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool AttemptCount::next(uint64_t have) {
    // A trickle's few bytes are no headway: they would renew the attempts without end.
    if (have >= best_have_ + kStallMinimumBytes) {
        best_have_ = have;
        number_ = 1;
    }
    if (number_ >= kDownloadAttempts) {
        return false;
    }
    ++number_;
    return true;
}

uint32_t wait_before_attempt_ms(int attempt) {
    if (attempt < 2 || attempt > kDownloadAttempts) {
        return 0;
    }
    return 1000u << (attempt - 2);
}

bool worth_another_attempt(const TransferResult& result) {
    switch (result.stage) {
        case TransferStage::Done:
        case TransferStage::Url:
        case TransferStage::Replace:
        case TransferStage::TooLong:  // the same body is as long the next time
            return false;
        case TransferStage::Status: {
            uint32_t status = result.http_status;
            // 416: a range the server cannot satisfy; the part is gone, the next try is whole.
            bool client_error =
                status >= 400 && status <= 499 && status != 408 && status != 416 && status != 429;
            return !client_error;
        }
        default:
            return !refused_certificate(result.win32_error);
    }
}

void format_retry_line(int attempt, char* out, size_t size) {
    format_bounded(out, size, "Reintentando descarga (intento %d de %d)...", attempt,
                   kDownloadAttempts);
}

}  // namespace velda
