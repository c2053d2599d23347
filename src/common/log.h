#pragma once

// One line per event on standard output: "[launcher] <message>".
void log_line(const char* message);
