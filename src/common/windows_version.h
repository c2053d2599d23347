#pragma once

#include <cstdint>

namespace velda {

// The version Windows reports of itself (RtlGetVersion); GetVersionEx answers only what the
// application manifest declares.
struct WindowsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
};

// False when the system does not say.
[[nodiscard]] bool query_windows_version(WindowsVersion* version);

}  // namespace velda
