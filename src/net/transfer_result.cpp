#include "net/transfer_result.h"

#include "common/log.h"

namespace velda {

const char* transfer_stage_name(TransferStage stage) {
    switch (stage) {
        case TransferStage::Done:
            return "done";
        case TransferStage::Url:
            return "url";
        case TransferStage::Open:
            return "open";
        case TransferStage::Connect:
            return "connect";
        case TransferStage::Request:
            return "request";
        case TransferStage::Send:
            return "send";
        case TransferStage::ReceiveHeaders:
            return "receive headers";
        case TransferStage::Status:
            return "status";
        case TransferStage::Read:
            return "read";
        case TransferStage::Stalled:
            return "stalled";
        case TransferStage::TimeLimit:
            return "time limit";
        case TransferStage::Length:
            return "length";
        case TransferStage::Memory:
            return "memory";
        case TransferStage::TempFile:
            return "temp file";
        case TransferStage::Write:
            return "write";
        case TransferStage::Replace:
            return "replace";
        case TransferStage::Digest:
            return "digest";
        case TransferStage::Range:
            return "range";
        case TransferStage::TooLong:
            return "too long";
    }
    return "unknown";
}

void log_transfer_failure(const char* url, const TransferResult& result) {
    if (result.ok()) {
        return;
    }
    log_detail("Descarga fallida (etapa %s, estado HTTP %u, error Win32 %u): %s",
               transfer_stage_name(result.stage), static_cast<unsigned>(result.http_status),
               static_cast<unsigned>(result.win32_error), url);
}

}  // namespace velda
