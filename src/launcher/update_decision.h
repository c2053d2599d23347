#pragma once

#include "manifest/manifest.h"

namespace velda {

struct UpdateDecision {
    bool update_needed;
    // "Version local (%s) es mayor que server (%s); se mantiene local." is logged.
    bool local_newer;
};

[[nodiscard]] UpdateDecision decide_update(bool stamp_present, const char* installed_version,
                                           const char* server_version, bool product_present);

// The changed-files list applies only to exactly the installed version, with both URLs given.
[[nodiscard]] bool changed_files_applicable(const Manifest& manifest, const char* installed_version,
                                            bool product_present);

// When the list does not apply, whether to say so in the log.
[[nodiscard]] bool changed_files_not_applicable_logged(const Manifest& manifest,
                                                       bool product_present);

}  // namespace velda
