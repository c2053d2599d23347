#pragma once

#include <cstddef>

// UTF-8 to UTF-16, terminator included; a text that does not fit gives an empty result.
void utf8_to_wide(const char* utf8, wchar_t* out, int out_units);
