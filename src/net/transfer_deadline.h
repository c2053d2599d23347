#pragma once

#include <cstdint>

namespace velda {

// A transfer fails when no byte has moved for this long, in any of its blocking steps.
inline constexpr uint32_t kStallLimitMs = 20000;

// A body that brings fewer bytes than this within a stall limit's time has stalled as well: a
// server that trickles a byte now and then would otherwise hold the run without end.
inline constexpr uint64_t kStallMinimumBytes = 16 * 1024;

// How long the next blocking call of a GET may wait: the stall limit, or what is left of the
// GET's time limit when that is less. timeout_ms is 0 once the time limit has passed.
struct CallBudget {
    uint32_t timeout_ms = kStallLimitMs;
    bool limited_by_deadline = false;
};

// now_ms and deadline_ms are readings of one millisecond clock; deadline_ms 0 means none.
[[nodiscard]] CallBudget next_call_budget(uint64_t now_ms, uint64_t deadline_ms,
                                          uint32_t stall_ms = kStallLimitMs);

// Whether a call that failed with error after waiting elapsed_ms ran out of the timeout it was
// given, rather than failing on its own. A timeout error says so even when an earlier call did
// the waiting; other errors count when the call waited all of its time (a timed-out TLS
// handshake reads as a channel error).
[[nodiscard]] bool call_ran_out(uint64_t elapsed_ms, uint32_t timeout_ms, uint32_t error);

// Counts a body's bytes in windows of the stall limit's length, starting when the body starts.
class TrickleWatch {
  public:
    explicit TrickleWatch(uint64_t now_ms) : window_start_ms_(now_ms) {}

    // count bytes arrived at now_ms; true when the window that has run its length brought fewer
    // than the minimum.
    [[nodiscard]] bool arrived(uint64_t now_ms, uint64_t count);

  private:
    uint64_t window_start_ms_;
    uint64_t window_bytes_ = 0;
};

}  // namespace velda
