#include "common/log_sink.h"

namespace velda {

// Native builds have no support log file: their log goes to standard output only.
void log_sink_write(const char*, const char*) {}

}  // namespace velda
