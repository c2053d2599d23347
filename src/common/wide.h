#pragma once

#include <cstddef>

namespace velda {

// UTF-8 to UTF-16, terminator included; a text that does not fit gives an empty result.
void utf8_to_wide(const char* utf8, wchar_t* out, int out_units);

// A path in the form the ANSI calls take (UTF-8 under the launcher's manifest) as UTF-16,
// terminator included. False, and out empty, when it does not convert whole into out_units.
[[nodiscard]] bool ansi_path_to_wide(const char* path, wchar_t* out, int out_units);

// A UTF-16 path in the form the ANSI calls take (UTF-8 under the launcher's manifest),
// terminator included. False, and out empty, when it does not fit out_size bytes whole or holds
// a character the ANSI code page lacks: a cut or "?" path would name another file.
[[nodiscard]] bool wide_to_ansi_path(const wchar_t* wide, char* out, size_t out_size);

}  // namespace velda
