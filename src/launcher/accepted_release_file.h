#pragma once

#include <string_view>

#include "launcher/accepted_release.h"

namespace velda {

// The record lives in %LOCALAPPDATA%\VeldaNova\accepted-<product>.txt, beside the support log:
// per user and outside the install folder, so that neither a deleted stamp nor a fresh install
// folder forgets it.

// False when there is no record; one that cannot be read counts as none (a detail line says so).
[[nodiscard]] bool load_accepted_release(std::string_view product_id, AcceptedRelease* out);

// Through a temporary file, flushed and moved over the record, so a cut leaves old or new whole.
[[nodiscard]] bool save_accepted_release(std::string_view product_id,
                                         const AcceptedRelease& accepted);

}  // namespace velda
