#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>

#include "net/transfer_deadline.h"
#include "net/transfer_result.h"

namespace velda {

// Holds one request to the stall limit and to the GET's time limit. Before every blocking call
// the request's timeouts are set to what that call may wait; the platform then ends the call
// itself (closing the handle from another thread does not end a blocked call under every
// WinHTTP). A call that failed after waiting all of its time reads as a stall or a passed limit.
// A support-log detail line for a timeout that call could not put in place.
void log_timeout_not_set(const char* call, uint32_t timeout_ms, DWORD error);

class RequestTimer {
  public:
    // time_limit_ms 0: only the stall limit applies.
    explicit RequestTimer(uint32_t time_limit_ms);

    // false when the time limit has already passed.
    [[nodiscard]] bool before_call(HINTERNET request);

    // What a call that just failed reports: its own stage and GetLastError, unless it ran out
    // of time. http_status is the status read so far, or 0.
    [[nodiscard]] TransferResult failure(TransferStage call_stage, uint32_t http_status = 0) const;

  private:
    uint64_t deadline_ms_ = 0;
    uint64_t call_started_ms_ = 0;
    CallBudget budget_;
    uint32_t applied_timeout_ms_ = 0;  // 0: the platform's defaults are still in place
};

}  // namespace velda
