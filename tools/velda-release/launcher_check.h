#pragma once

#include <string>
#include <vector>

#include "release_origin.h"

namespace velda {

// The launcher the release offers ("launcher"): read as launchers read it, fetched, and checked
// against its size, its SHA-256 and its version resource; then what a keyed launcher at
// launcher_version ("" for this build's own) does with it. Each fault is added to traps.
void check_offered_launcher_member(const Origin& origin, const std::string& manifest_text,
                                   const std::string& launcher_version,
                                   std::vector<std::string>* traps);

}  // namespace velda
