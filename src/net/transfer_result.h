#pragma once

#include <cstdint>

namespace velda {

// The step at which a GET stopped; Done when it did not.
enum class TransferStage : uint8_t {
    Done,
    Url,             // not a URL the transfer takes, or over its size limits
    Open,            // no session
    Connect,         // no connection handle for the host
    Request,         // no request handle
    Send,            // the request could not be sent
    ReceiveHeaders,  // no response headers arrived
    Status,          // no status code, or one outside 200 to 299
    Read,            // the body stopped arriving
    Stalled,         // no byte moved within the stall limit
    TimeLimit,       // the GET's time limit passed
    Length,          // the body ended before its announced length, or would pass 4 GiB
    Memory,          // no room for the body
    TempFile,        // the temporary file could not be created
    Write,           // the body could not be written to the temporary file
    Replace,         // the temporary file could not take the target's place
    Digest,          // the body's SHA-256 is not the expected one, or could not be computed
    Range,           // a partial answer that is not the rest of the body asked for
    TooLong,         // the body, announced or arriving, passes the GET's bound
};

// What a GET reports: where it stopped, the HTTP status once one was read (else 0), and the
// Win32 error of the call that failed (0 when no call did).
struct TransferResult {
    TransferStage stage = TransferStage::Done;
    uint32_t http_status = 0;
    uint32_t win32_error = 0;

    bool ok() const { return stage == TransferStage::Done; }
    explicit operator bool() const { return ok(); }
};

// A short lowercase name of the stage, for log lines.
const char* transfer_stage_name(TransferStage stage);

// Notes in the support log why the transfer of url failed: stage, HTTP status, Win32 error.
// Nothing for a transfer that did not fail.
void log_transfer_failure(const char* url, const TransferResult& result);

}  // namespace velda
