#include "common/fs.h"

#include <windows.h>

#include "common/win_handle.h"

namespace velda {

bool ensure_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (CreateDirectoryA(path, nullptr)) {
            return true;
        }
        return GetLastError() == ERROR_ALREADY_EXISTS;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool file_exists_not_directory(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool directory_exists(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

bool write_and_flush(HANDLE file, std::string_view bytes) {
    DWORD written = 0;
    return file != INVALID_HANDLE_VALUE &&
           WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && FlushFileBuffers(file);
}

}  // namespace

bool write_flushed_file(const char* path, std::string_view bytes) {
    UniqueFileHandle file(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return write_and_flush(file.get(), bytes);
}

bool write_flushed_file(const wchar_t* path, std::string_view bytes) {
    UniqueFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return write_and_flush(file.get(), bytes);
}

}  // namespace velda
