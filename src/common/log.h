#pragma once

namespace velda {

// One line per event on standard output: "[launcher] <message>". The line also goes, with a
// timestamp, to the support log file (log_sink.h).
void log_line(const char* message);

// A line for the support log file only: what standard output does not carry (transfer failure
// reasons, versions). printf-style, cut to a bounded line.
void log_detail(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velda
