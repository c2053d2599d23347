#include "launcher/manifest_deadline.h"

namespace velda {

uint32_t manifest_time_limit_ms(uint64_t ms_since_launch) {
    if (ms_since_launch >= kManifestDeadlineFromLaunchMs - kManifestMinimumMs) {
        return kManifestMinimumMs;
    }
    return static_cast<uint32_t>(kManifestDeadlineFromLaunchMs - ms_since_launch);
}

}  // namespace velda
