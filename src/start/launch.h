#pragma once

namespace velda {

// Starts Velda.exe from folder, or else Run-Velda.bat through cmd; does not wait.
[[nodiscard]] bool launch_velda(const char* folder);

}  // namespace velda
