#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// A local time with its offset from UTC, as the log file writes it.
struct LogTimestamp {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int millisecond;
    int utc_offset_minutes;  // local minus UTC: +60 for UTC+01:00
};

// "2026-12-08T19:02:03.123+01:00": 29 characters and the terminator.
inline constexpr size_t kLogTimestampSize = 30;
void format_log_timestamp(const LogTimestamp& time, char out[kLogTimestampSize]);

// One line of the log file: "<timestamp> [<tag>] <message>\r\n". Line breaks inside the message
// become spaces, so every entry stays one line; a long message is cut to fit. Returns the
// length written, without the terminator.
size_t format_log_file_line(const LogTimestamp& time, const char* tag, const char* message,
                            char* out, size_t out_size);

// At this size the log file moves to launcher.1.log and a new one begins.
inline constexpr uint64_t kLogRotationSize = 1024 * 1024;

// True when a line of line_size bytes would take a non-empty file past the rotation size.
[[nodiscard]] bool log_needs_rotation(uint64_t file_size, size_t line_size);

}  // namespace velda
