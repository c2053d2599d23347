#pragma once

#include <string>

namespace velda {

// Writes DIR/velda-release-private.pem (owner read/write only from its creation on) and
// DIR/velda-release-public.pem; refuses when either exists. Returns the process exit code.
[[nodiscard]] int run_keygen(const std::string& output_folder);

}  // namespace velda
