#pragma once

namespace velda {

// The support log file: %LOCALAPPDATA%\VeldaNova\launcher.log, one timestamped line per call,
// rotated to launcher.1.log at 1 MiB. It never fails a run: when it cannot be opened or written
// it stays off for the rest of the process. Safe to call from any thread.
void log_sink_write(const char* tag, const char* message);

}  // namespace velda
