#include "launcher/accepted_release_file.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "common/fs.h"
#include "common/log.h"
#include "common/win_handle.h"

namespace velda {

namespace {

constexpr DWORD kPathUnits = 32768;
constexpr DWORD kRecordMaxBytes = 4096;

struct RecordPaths {
    std::wstring folder;
    std::wstring record;
    std::wstring temporary;
};

// False without LOCALAPPDATA: such a user has no record and gets none.
bool record_paths(std::string_view product_id, RecordPaths* out) {
    std::wstring folder(kPathUnits, L'\0');
    DWORD units = GetEnvironmentVariableW(L"LOCALAPPDATA", folder.data(), kPathUnits);
    if (units == 0 || units >= kPathUnits) {
        return false;
    }
    folder.resize(units);
    folder += L"\\VeldaNova";
    // The product id is ASCII letters, digits, '.', '_' and '-' (checked when configuring).
    std::wstring name = L"\\accepted-" + std::wstring(product_id.begin(), product_id.end());
    out->record = folder + name + L".txt";
    out->temporary = folder + name + L".tmp";
    out->folder = std::move(folder);
    return true;
}

}  // namespace

bool load_accepted_release(std::string_view product_id, AcceptedRelease* out) {
    *out = AcceptedRelease{};
    RecordPaths paths;
    if (!record_paths(product_id, &paths)) {
        return false;
    }
    UniqueFileHandle file(CreateFileW(paths.record.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            log_detail("Registro de version aceptada ilegible (error Win32 %lu); se ignora", error);
        }
        return false;
    }
    char bytes[kRecordMaxBytes + 1];
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes, sizeof bytes, &got, nullptr) || got > kRecordMaxBytes ||
        !read_accepted_release(std::string_view(bytes, got), out)) {
        log_detail("Registro de version aceptada ilegible; se ignora");
        return false;
    }
    return true;
}

bool save_accepted_release(std::string_view product_id, const AcceptedRelease& accepted) {
    RecordPaths paths;
    if (!record_paths(product_id, &paths)) {
        return false;
    }
    CreateDirectoryW(paths.folder.c_str(), nullptr);
    // Temporary file, flushed, then moved over the record: a cut leaves the old record or the new.
    if (!write_flushed_file(paths.temporary.c_str(), accepted_release_text(accepted)) ||
        !MoveFileExW(paths.temporary.c_str(), paths.record.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        log_detail("No se pudo escribir el registro de version aceptada (error Win32 %lu)",
                   GetLastError());
        DeleteFileW(paths.temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace velda
