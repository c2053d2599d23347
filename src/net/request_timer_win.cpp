#include "net/request_timer_win.h"

#include "common/log.h"

namespace velda {

void log_timeout_not_set(const char* call, uint32_t timeout_ms, DWORD error) {
    log_detail("Tiempo de espera no aplicado (%s, %u ms, error Win32 %lu)", call,
               static_cast<unsigned>(timeout_ms), static_cast<unsigned long>(error));
}

RequestTimer::RequestTimer(uint32_t time_limit_ms) {
    if (time_limit_ms != 0) {
        deadline_ms_ = GetTickCount64() + time_limit_ms;
    }
}

bool RequestTimer::before_call(HINTERNET request) {
    call_started_ms_ = GetTickCount64();
    budget_ = next_call_budget(call_started_ms_, deadline_ms_);
    if (budget_.timeout_ms == 0) {
        return false;
    }
    if (budget_.timeout_ms != applied_timeout_ms_) {
        int timeout = static_cast<int>(budget_.timeout_ms);
        // The wait for the response headers has a timeout of its own, infinite by default.
        DWORD response_timeout = budget_.timeout_ms;
        // A timeout that is not in place leaves the call to the platform's own, longer waits.
        if (!WinHttpSetTimeouts(request, timeout, timeout, timeout, timeout)) {
            log_timeout_not_set("WinHttpSetTimeouts", budget_.timeout_ms, GetLastError());
        }
        if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &response_timeout,
                              sizeof response_timeout)) {
            log_timeout_not_set("WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT", budget_.timeout_ms,
                                GetLastError());
        }
        applied_timeout_ms_ = budget_.timeout_ms;
    }
    return true;
}

TransferResult RequestTimer::failure(TransferStage call_stage, uint32_t http_status) const {
    TransferResult result;
    result.win32_error = GetLastError();
    result.http_status = http_status;
    result.stage = call_stage;
    if (call_ran_out(GetTickCount64() - call_started_ms_, budget_.timeout_ms, result.win32_error)) {
        result.stage =
            budget_.limited_by_deadline ? TransferStage::TimeLimit : TransferStage::Stalled;
    }
    return result;
}

}  // namespace velda
