#pragma once

#include <cstdint>

namespace velda {

// An unanswered manifest must not hold up the installed product: its request ends this long
// after the launcher started, leaving time to start the product within the run's first 10 s.
inline constexpr uint32_t kManifestDeadlineFromLaunchMs = 8000;
// A start-up that was slow for other reasons still leaves the manifest a fair chance.
inline constexpr uint32_t kManifestMinimumMs = 2000;

// The manifest request's time limit when it starts ms_since_launch after the launcher started.
uint32_t manifest_time_limit_ms(uint64_t ms_since_launch);

}  // namespace velda
