#pragma once

#include <string>
#include <vector>

#include "check.h"
#include "check_downloads.h"
#include "manifest/release_details.h"
#include "release_origin.h"

namespace velda {

// A change set's patch index and every patch it names: their sizes and SHA-256 values, each
// entry against the hash file, and, with the set's base folder among options.bases, each patch
// applied to its base and the result compared with the new file's size and SHA-256.
void check_change_set_patches(const Origin& origin, const CheckOptions& options,
                              const ChangeSet& set, HashRule rule, std::vector<std::string>* traps,
                              std::vector<std::string>* notes);

}  // namespace velda
