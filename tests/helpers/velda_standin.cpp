// Stand-in for the product. Appends one JSON line about how it was started to the file named by
// VELDA_STANDIN_RECORD, then stays alive VELDA_STANDIN_STAY milliseconds when asked, and exits 0.
// VELDA_STANDIN_WINDOW shows a window for that time: "closes" ends on WM_CLOSE, "keeps" ignores
// it (a product asking whether to save), "lingers" takes the window down but runs on.
// VELDA_STANDIN_HOLD names a file it keeps open without sharing write or delete while it runs, as
// the product keeps its data files open; the file is open before the record is written.
//
// Which copy ran is told by a tag that tests append to the copied exe file:
// "<VELDA-TAG>text</VELDA-TAG>\n" at its very end (the loader ignores bytes after the image).

#include "helper_util.h"
#include "common/win_handle.h"

#include <string>

using namespace velda;

namespace {

const char kTagOpen[] = "<VELDA-TAG>";
const char kTagClose[] = "</VELDA-TAG>\n";

std::wstring module_path() {
    std::wstring path(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::wstring folder_of(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

bool read_file(const std::wstring& path, std::string* out) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > 64 * 1024 * 1024) {
        return false;
    }
    out->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!out->empty() &&
        !ReadFile(file.get(), out->data(), static_cast<DWORD>(out->size()), &got, nullptr)) {
        return false;
    }
    out->resize(got);
    return true;
}

// The tag appended to this copy of the exe; false when it carries none.
bool own_tag(const std::wstring& exe, std::string* tag) {
    std::string content;
    if (!read_file(exe, &content)) {
        return false;
    }
    size_t close_length = sizeof kTagClose - 1;
    if (content.size() < close_length ||
        content.compare(content.size() - close_length, close_length, kTagClose) != 0) {
        return false;
    }
    size_t open = content.rfind(kTagOpen);
    if (open == std::string::npos) {
        return false;
    }
    size_t start = open + sizeof kTagOpen - 1;
    *tag = content.substr(start, content.size() - close_length - start);
    return true;
}

std::string trimmed(std::string text) {
    const char* blanks = " \t\r\n";
    size_t end = text.find_last_not_of(blanks);
    if (end == std::string::npos) {
        return {};
    }
    size_t begin = text.find_first_not_of(blanks);
    return text.substr(begin, end - begin + 1);
}

std::wstring env_value(const wchar_t* name, bool* present) {
    wchar_t value[32768] = {};
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    *present = length > 0 && length < 32768;
    return *present ? std::wstring(value, length) : std::wstring();
}

// One write of the whole line, so records of stand-ins that start together do not mix.
void append_line(const std::wstring& path, const std::string& line) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            DWORD written = 0;
            WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
            return;
        }
        Sleep(10);
    }
}

// The file VELDA_STANDIN_HOLD names, open for reading only; empty when none is named.
UniqueFileHandle hold_named_file() {
    bool present = false;
    std::wstring path = env_value(L"VELDA_STANDIN_HOLD", &present);
    if (!present) {
        return UniqueFileHandle();
    }
    return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

enum class WindowMode { None, Closes, Keeps, Lingers };

WindowMode window_mode() {
    bool present = false;
    std::wstring mode = env_value(L"VELDA_STANDIN_WINDOW", &present);
    if (mode == L"closes") {
        return WindowMode::Closes;
    }
    if (mode == L"keeps") {
        return WindowMode::Keeps;
    }
    return mode == L"lingers" ? WindowMode::Lingers : WindowMode::None;
}

WindowMode g_mode = WindowMode::None;

LRESULT CALLBACK standin_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CLOSE) {
        if (g_mode == WindowMode::Keeps) {
            return 0;
        }
        DestroyWindow(window);
        if (g_mode == WindowMode::Closes) {
            PostQuitMessage(0);
        }
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Shows the window and services it until WM_CLOSE ends it (closes) or stay_ms is up.
void run_window(unsigned long stay_ms) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = standin_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VeldaStandinWindow";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"VeldaStandinWindow", L"Velda stand-in",
                                  WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                  nullptr, window_class.hInstance, nullptr);
    if (window == nullptr) {
        return;
    }
    DWORD until = GetTickCount() + stay_ms;
    MSG message;
    for (;;) {
        DWORD now = GetTickCount();
        if (static_cast<LONG>(until - now) <= 0) {
            return;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, until - now, QS_ALLINPUT);
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                return;
            }
            DispatchMessageW(&message);
        }
    }
}

// The launcher hands its extraction paths to PowerShell alone: the product never sees them.
void record_extraction_paths(helper::JsonObject* record) {
    for (const wchar_t* name : {L"VELDA_EXTRACT_ZIP", L"VELDA_EXTRACT_DEST"}) {
        bool have_path = false;
        std::wstring path = env_value(name, &have_path);
        if (have_path) {
            record->text(helper::to_utf8(name).c_str(), path);
        }
    }
}

}  // namespace

int main() {
    std::wstring exe = module_path();
    std::wstring folder = folder_of(exe);
    wchar_t cwd[32768] = {};
    GetCurrentDirectoryW(32768, cwd);

    helper::JsonObject record;
    record.number("pid", GetCurrentProcessId());
    record.text("exe", exe).text("folder", folder).text("cwd", std::wstring(cwd));
    record.text("cmdline", helper::to_wide(GetCommandLineA()));

    std::string tag;
    if (own_tag(exe, &tag)) {
        record.text("tag", tag);
    } else {
        record.null("tag");
    }
    std::string version_txt;
    if (read_file(folder + L"\\version.txt", &version_txt)) {
        record.text("version_txt", trimmed(version_txt));
    } else {
        record.null("version_txt");
    }
    bool have_appdata = false;
    std::wstring appdata = env_value(L"APPDATA", &have_appdata);
    if (have_appdata) {
        record.text("appdata", appdata);
    } else {
        record.null("appdata");
    }

    record_extraction_paths(&record);

    bool have_stay = false;
    std::wstring stay = env_value(L"VELDA_STANDIN_STAY", &have_stay);
    unsigned long stay_ms = 0;
    if (have_stay) {
        helper::parse_number(helper::to_utf8(stay).c_str(), &stay_ms);
    }
    record.number("stay_ms", static_cast<long long>(stay_ms));

    UniqueFileHandle held = hold_named_file();
    bool have_record = false;
    std::wstring record_path = env_value(L"VELDA_STANDIN_RECORD", &have_record);
    if (have_record) {
        append_line(record_path, record.str() + "\n");
    }
    g_mode = window_mode();
    if (g_mode != WindowMode::None) {
        run_window(stay_ms);
    } else if (stay_ms > 0) {
        Sleep(stay_ms);
    }
    return 0;
}
