#pragma once

#include <cstdint>

#include "common/hex.h"

namespace velda {

// A SHA-256 that a manifest field may give for a download: nothing (an empty field), 64 hex
// digits, or something else, which vouches for nothing.
class ExpectedDigest {
  public:
    enum class State : uint8_t { Absent, Given, Malformed };

    static ExpectedDigest from_field(const char* field);

    State state() const { return state_; }
    // The 32 bytes to check against, or null when none were given.
    const uint8_t* bytes() const { return state_ == State::Given ? value_ : nullptr; }
    // Whether a download may go ahead: never on a malformed value; without one only when the
    // manifest did not have to vouch for it.
    [[nodiscard]] bool allows_download(bool required) const {
        return state_ == State::Given || (state_ == State::Absent && !required);
    }

  private:
    State state_ = State::Absent;
    uint8_t value_[kSha256Size] = {};
};

}  // namespace velda
