#include "common/busy_file.h"

namespace velda {

namespace {

constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kLongestStepMs = 1000;

}  // namespace

bool is_busy_file_error(uint32_t win32_error) {
    return win32_error == kAccessDenied || win32_error == kSharingViolation;
}

uint32_t BusyFileBackoff::next_wait_ms() {
    uint32_t left = kBusyFileLimitMs - waited_ms_;
    uint32_t wait = step_ms_ < left ? step_ms_ : left;
    waited_ms_ += wait;
    if (step_ms_ < kLongestStepMs) {
        step_ms_ = step_ms_ * 2 < kLongestStepMs ? step_ms_ * 2 : kLongestStepMs;
    }
    return wait;
}

}  // namespace velda
