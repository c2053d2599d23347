#include "common/log_sink.h"
#include "common/release_keys.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>

#include "common/launcher_version.h"
#include "common/log_format.h"
#include "common/win_handle.h"
#include "common/windows_version.h"

namespace velda {

namespace {

constexpr DWORD kEnvironmentUnits = 32768;

LogTimestamp local_timestamp() {
    SYSTEMTIME utc = {};
    GetSystemTime(&utc);
    SYSTEMTIME local = utc;
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    FILETIME utc_time = {};
    FILETIME local_time = {};
    SystemTimeToFileTime(&utc, &utc_time);
    SystemTimeToFileTime(&local, &local_time);
    auto ticks = [](const FILETIME& time) {
        return static_cast<long long>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                                      time.dwLowDateTime);
    };
    // Both times carry the same milliseconds, so the difference is whole minutes.
    long long offset_minutes = (ticks(local_time) - ticks(utc_time)) / (10000LL * 1000 * 60);
    return {local.wYear,   local.wMonth,  local.wDay,          local.wHour,
            local.wMinute, local.wSecond, local.wMilliseconds, static_cast<int>(offset_minutes)};
}

void windows_version_text(char* out, size_t out_size) {
    WindowsVersion version;
    if (!query_windows_version(&version)) {
        std::snprintf(out, out_size, "unknown");
        return;
    }
    std::snprintf(out, out_size, "%lu.%lu.%lu", static_cast<unsigned long>(version.major),
                  static_cast<unsigned long>(version.minor),
                  static_cast<unsigned long>(version.build));
}

class LogFile {
  public:
    void write(const char* tag, const char* message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!opened_once_) {
            opened_once_ = true;
            if (!open_first()) {
                return;
            }
            write_run_header();
        }
        append(tag, message);
    }

  private:
    bool open_first() {
        wchar_t* folder = folder_;
        DWORD units = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, kEnvironmentUnits);
        if (units == 0 || units >= kEnvironmentUnits) {
            return false;
        }
        if (std::swprintf(folder + units, kEnvironmentUnits - units, L"\\VeldaNova") < 0 ||
            std::swprintf(path_, kEnvironmentUnits, L"%ls\\launcher.log", folder) < 0 ||
            std::swprintf(old_path_, kEnvironmentUnits, L"%ls\\launcher.1.log", folder) < 0) {
            return false;
        }
        CreateDirectoryW(folder, nullptr);
        return open();
    }

    // Appends only: two launchers that write at once interleave whole lines.
    bool open() {
        file_.reset(CreateFileW(path_, FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file_.valid();
    }

    void write_run_header() {
        char windows[64];
        windows_version_text(windows, sizeof(windows));
        char header[256];
        std::snprintf(header, sizeof(header), "Launcher %s, Windows %s, proceso %lu",
                      launcher_version(), windows, GetCurrentProcessId());
        append("detalle", header);
        if (kReleasePublicKeyCount == 0) {
            append("detalle",
                   "Launcher sin claves de publicacion: no comprueba ninguna firma de lo que "
                   "descarga.");
        }
    }

    void append(const char* tag, const char* message) {
        if (!file_) {
            return;
        }
        char line[2048];
        size_t length = format_log_file_line(local_timestamp(), tag, message, line, sizeof(line));
        LARGE_INTEGER size = {};
        if (rotation_allowed_ && GetFileSizeEx(file_.get(), &size) &&
            log_needs_rotation(static_cast<uint64_t>(size.QuadPart), length)) {
            rotate(length);
            if (!file_) {
                return;
            }
        }
        DWORD written = 0;
        if (!WriteFile(file_.get(), line, static_cast<DWORD>(length), &written, nullptr) ||
            written != length) {
            file_.reset();  // Off for the rest of the run: no retry per line.
        }
    }

    // One old file is kept. When the move fails the file goes on growing rather than being
    // moved again at every line.
    void rotate(size_t line_length) {
        // Another launcher may have rotated since this one opened the file: its handle then
        // names the old file, and moving the new one over it would lose a whole log.
        file_.reset();
        LARGE_INTEGER size = {};
        if (open() && GetFileSizeEx(file_.get(), &size) &&
            !log_needs_rotation(static_cast<uint64_t>(size.QuadPart), line_length)) {
            return;
        }
        file_.reset();
        if (!MoveFileExW(path_, old_path_, MOVEFILE_REPLACE_EXISTING)) {
            rotation_allowed_ = false;
        }
        open();
    }

    std::mutex mutex_;
    bool opened_once_ = false;
    bool rotation_allowed_ = true;
    UniqueFileHandle file_;
    wchar_t folder_[kEnvironmentUnits] = {};
    wchar_t path_[kEnvironmentUnits] = {};
    wchar_t old_path_[kEnvironmentUnits] = {};
};

LogFile& log_file() {
    static LogFile file;
    return file;
}

}  // namespace

void log_sink_write(const char* tag, const char* message) {
    log_file().write(tag, message);
}

}  // namespace velda
