#pragma once

#include <cstdint>

namespace velda {

// A virus scanner, the search indexer or a sync client may hold a new file open for a moment;
// replacing or deleting it then fails with a sharing violation or access denied. Such a failure
// is tried again, with growing waits, until this much time has been spent waiting.
inline constexpr uint32_t kBusyFileLimitMs = 10000;

// ERROR_ACCESS_DENIED and ERROR_SHARING_VIOLATION.
[[nodiscard]] bool is_busy_file_error(uint32_t win32_error);

// The waits between tries: 50 ms, doubling up to 1 s, until kBusyFileLimitMs is used up.
class BusyFileBackoff {
  public:
    // The next wait in milliseconds, or 0 when the time is up.
    uint32_t next_wait_ms();

  private:
    uint32_t waited_ms_ = 0;
    uint32_t step_ms_ = 50;
};

// True when win32_error, met on path, says that another program holds the file (a read-only file
// or a directory is refused for what it is).
[[nodiscard]] bool held_by_another_program(const char* path, uint32_t win32_error);

// The replace (MoveFileExA, replacing and writing through) and the delete (DeleteFileA), each
// tried again while the file is busy. Anything else fails at once. On
// failure GetLastError() is the last try's error.
[[nodiscard]] bool replace_file_when_free(const char* source, const char* target);
[[nodiscard]] bool delete_file_when_free(const char* path);

}  // namespace velda
