#pragma once

namespace velda {

constexpr unsigned kSettingsPieceSize = 256;

// One piece of the settings file as fgets gives it. Trims it in place; true when it is the
// language line, which decides: *spanish is then set (value exactly "es").
[[nodiscard]] bool settings_piece_decides(char* piece, int* spanish);

// The language flag from "%APPDATA%\VeldaNova\settings.txt": 1 for Spanish, 0 for English.
int read_language_flag(const char* appdata);

}  // namespace velda
