#include "launcher/settings.h"

#include <cstdio>
#include <cstring>

#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/stdio_file.h"
#include "common/text.h"

namespace velda {

namespace {

constexpr char kLanguageKey[] = "language=";
constexpr size_t kLanguageKeyLength = sizeof(kLanguageKey) - 1;

}  // namespace

bool settings_piece_decides(char* piece, int* spanish) {
    trim_in_place(piece);
    if (std::strncmp(piece, kLanguageKey, kLanguageKeyLength) != 0) {
        return false;
    }
    *spanish = std::strcmp(piece + kLanguageKeyLength, "es") == 0 ? 1 : 0;
    return true;
}

int read_language_flag(const char* appdata) {
    if (appdata == nullptr || appdata[0] == '\0') {
        return 0;
    }
    // A cut path would read some other file: then no settings file is read.
    char path[kPathSize] = {};
    if (!join_path(appdata, "VeldaNova\\settings.txt", path)) {
        return 0;
    }
    UniqueStdioFile file = open_file(path, "rb");
    if (!file) {
        return 0;
    }
    int spanish = 0;
    char piece[kSettingsPieceSize];
    while (std::fgets(piece, sizeof(piece), file.get()) != nullptr) {
        if (settings_piece_decides(piece, &spanish)) {
            break;
        }
    }
    return spanish;
}

}  // namespace velda
