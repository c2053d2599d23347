#include "install/progress_lines.h"

#include <cstring>

#include "common/scan.h"

namespace velda {

namespace {

constexpr char kProgressPrefix[] = "PROGRESS:";
constexpr size_t kProgressPrefixLength = sizeof(kProgressPrefix) - 1;

// One "%lu" conversion where unsigned long is 32 bits, as on Windows: overflow gives the largest
// value, a minus sign negates modulo 2^32.
bool scan_unsigned_32(const char** cursor, uint32_t* value) {
    bool negative = false;
    uint64_t magnitude = 0;
    if (!scan_decimal(cursor, UINT32_MAX, &negative, &magnitude)) {
        return false;
    }
    if (magnitude > UINT32_MAX) {
        *value = UINT32_MAX;
    } else {
        uint32_t result = static_cast<uint32_t>(magnitude);
        *value = negative ? 0u - result : result;
    }
    return true;
}

void handle_line(ProgressLineReader* reader, ProgressCallback handler, void* user_data) {
    reader->line[reader->length] = '\0';
    uint32_t done = 0;
    uint32_t total = 0;
    if (parse_progress_line(reader->line, &done, &total) && handler != nullptr) {
        handler(done, total, user_data);
    }
}

}  // namespace

void progress_reader_init(ProgressLineReader* reader) {
    std::memset(reader->line, 0, sizeof(reader->line));
    reader->length = 0;
}

void progress_reader_feed(ProgressLineReader* reader, const char* data, size_t size,
                          ProgressCallback handler, void* user_data) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c == '\r') {
            continue;
        }
        if (c == '\n') {
            handle_line(reader, handler, user_data);
            reader->length = 0;
            continue;
        }
        // Bytes past the buffer are dropped until the line feed; they never start a new line.
        if (reader->length < kProgressLineBufferSize - 1) {
            reader->line[reader->length++] = c;
        }
    }
}

void progress_reader_finish(ProgressLineReader* reader, ProgressCallback handler, void* user_data) {
    if (reader->length != 0) {
        handle_line(reader, handler, user_data);
        reader->length = 0;
    }
}

bool parse_progress_line(const char* line, uint32_t* done, uint32_t* total) {
    *done = 0;
    *total = 0;
    if (std::strncmp(line, kProgressPrefix, kProgressPrefixLength) != 0) {
        return false;
    }
    const char* cursor = line + kProgressPrefixLength;
    uint32_t first = 0;
    if (!scan_unsigned_32(&cursor, &first)) {
        return false;
    }
    *done = first;
    if (*cursor != ':') {
        return false;
    }
    ++cursor;
    uint32_t second = 0;
    if (!scan_unsigned_32(&cursor, &second)) {
        return false;
    }
    *total = second;
    return true;
}

}  // namespace velda
