#pragma once

namespace velda {

// This launcher's own version, as its version resource and its log's first line give it.
[[nodiscard]] const char* launcher_version();

}  // namespace velda
