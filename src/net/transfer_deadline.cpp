#include "net/transfer_deadline.h"

namespace velda {

namespace {

// Timers of the platform fire up to a scheduler tick early or late.
constexpr uint32_t kTimerSlackMs = 100;
constexpr uint32_t kWinHttpTimeoutError = 12002;  // ERROR_WINHTTP_TIMEOUT
constexpr uint32_t kSocketTimeoutError = 10060;   // WSAETIMEDOUT, as Wine reports it

}  // namespace

CallBudget next_call_budget(uint64_t now_ms, uint64_t deadline_ms, uint32_t stall_ms) {
    CallBudget budget;
    budget.timeout_ms = stall_ms;
    if (deadline_ms == 0) {
        return budget;
    }
    uint64_t left = deadline_ms > now_ms ? deadline_ms - now_ms : 0;
    if (left < stall_ms) {
        budget.timeout_ms = static_cast<uint32_t>(left);
        budget.limited_by_deadline = true;
    }
    return budget;
}

bool call_ran_out(uint64_t elapsed_ms, uint32_t timeout_ms, uint32_t error) {
    if (error == kWinHttpTimeoutError || error == kSocketTimeoutError) {
        return true;
    }
    return elapsed_ms + kTimerSlackMs >= timeout_ms;
}

bool TrickleWatch::arrived(uint64_t now_ms, uint64_t count) {
    window_bytes_ += count;
    if (now_ms - window_start_ms_ < kStallLimitMs) {
        return false;
    }
    if (window_bytes_ < kStallMinimumBytes) {
        return true;
    }
    window_start_ms_ = now_ms;
    window_bytes_ = 0;
    return false;
}

}  // namespace velda
