#include "common/log_format.h"

#include <cstdio>
#include <cstring>

namespace velda {

void format_log_timestamp(const LogTimestamp& time, char out[kLogTimestampSize]) {
    int offset = time.utc_offset_minutes;
    char sign = offset < 0 ? '-' : '+';
    offset = offset < 0 ? -offset : offset;
    // Room for any int; a real time takes exactly kLogTimestampSize - 1 characters.
    char text[128];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", time.year,
                  time.month, time.day, time.hour, time.minute, time.second, time.millisecond, sign,
                  offset / 60, offset % 60);
    std::memcpy(out, text, kLogTimestampSize - 1);
    out[kLogTimestampSize - 1] = '\0';
}

size_t format_log_file_line(const LogTimestamp& time, const char* tag, const char* message,
                            char* out, size_t out_size) {
    constexpr char kLineEnd[] = "\r\n";
    if (out_size < sizeof(kLineEnd)) {
        if (out_size > 0) {
            out[0] = '\0';
        }
        return 0;
    }
    char stamp[kLogTimestampSize];
    format_log_timestamp(time, stamp);
    int head = std::snprintf(out, out_size - 2, "%s [%s] %s", stamp, tag, message);
    size_t length = head < 0 ? 0 : static_cast<size_t>(head);
    if (length > out_size - 3) {
        length = out_size - 3;
    }
    for (size_t i = 0; i < length; ++i) {
        if (out[i] == '\r' || out[i] == '\n') {
            out[i] = ' ';
        }
    }
    std::memcpy(out + length, kLineEnd, sizeof(kLineEnd));
    return length + 2;
}

bool log_needs_rotation(uint64_t file_size, size_t line_size) {
    return file_size > 0 && file_size + line_size > kLogRotationSize;
}

}  // namespace velda
