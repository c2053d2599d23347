#pragma once

#include <cstddef>
#include <cstdint>

#include "common/progress.h"

namespace velda {

constexpr size_t kProgressLineBufferSize = 512;

// Splits the extraction child's output into lines: CR dropped anywhere, LF ends a line,
// at most 511 bytes of a line kept. A line may span any number of feeds.
struct ProgressLineReader {
    char line[kProgressLineBufferSize];
    size_t length;
};

void progress_reader_init(ProgressLineReader* reader);
// Calls handler for every complete "PROGRESS:done:total" line in data.
void progress_reader_feed(ProgressLineReader* reader, const char* data, size_t size,
                          ProgressCallback handler, void* user_data);
// Handles an unfinished last line once the output has ended.
void progress_reader_finish(ProgressLineReader* reader, ProgressCallback handler, void* user_data);

// "PROGRESS:" then "%lu:%lu" with 32-bit unsigned numbers; true when both converted.
[[nodiscard]] bool parse_progress_line(const char* line, uint32_t* done, uint32_t* total);

}  // namespace velda
