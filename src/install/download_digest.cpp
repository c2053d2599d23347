#include "install/download_digest.h"

#include "common/log.h"
#include "common/text.h"

namespace velda {

bool download_may_start(const ExpectedDigest& digest, bool required, const char* what) {
    if (digest.allows_download(required)) {
        return true;
    }
    char line[384] = {};
    format_bounded(line, sizeof(line), "latest.json no da un SHA-256 valido para %s.", what);
    log_line(line);
    return false;
}

void log_if_digest_mismatch(const TransferResult& result, const char* what) {
    if (result.stage != TransferStage::Digest) {
        return;
    }
    char line[384] = {};
    format_bounded(line, sizeof(line), "SHA-256 de %s no coincide; descarga descartada.", what);
    log_line(line);
}

}  // namespace velda
