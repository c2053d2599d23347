#pragma once

// Small pieces shared by the test helper programs: UTF-8 JSON output and window queries.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace helper {

inline std::string to_utf8(const std::wstring& wide) {
    if (wide.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

inline std::wstring to_wide(const std::string& narrow, UINT code_page = CP_ACP) {
    if (narrow.empty()) {
        return {};
    }
    int size = MultiByteToWideChar(code_page, 0, narrow.data(), static_cast<int>(narrow.size()),
                                   nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(code_page, 0, narrow.data(), static_cast<int>(narrow.size()), out.data(),
                        size);
    return out;
}

// A JSON string literal (quotes included) of UTF-8 text.
inline std::string json_quote(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += "\"";
    return out;
}

inline std::string json_quote(const std::wstring& wide) {
    return json_quote(to_utf8(wide));
}

// Builds one JSON object on one line, fields in the order they are added.
class JsonObject {
  public:
    JsonObject& raw(const char* key, const std::string& json_value) {
        if (body_.size() > 1) {
            body_ += ", ";
        }
        body_ += json_quote(std::string(key));
        body_ += ": ";
        body_ += json_value;
        return *this;
    }
    JsonObject& text(const char* key, const std::wstring& value) {
        return raw(key, json_quote(value));
    }
    JsonObject& text(const char* key, const std::string& utf8) {
        return raw(key, json_quote(utf8));
    }
    JsonObject& number(const char* key, long long value) { return raw(key, std::to_string(value)); }
    JsonObject& boolean(const char* key, bool value) { return raw(key, value ? "true" : "false"); }
    JsonObject& null(const char* key) { return raw(key, "null"); }

    std::string str() const { return body_ + "}"; }

    // Prints the object as one line and flushes, so a reader sees it before the next step.
    void print() const {
        std::string line = str() + "\n";
        fwrite(line.data(), 1, line.size(), stdout);
        fflush(stdout);
    }

  private:
    std::string body_ = "{";
};

inline std::wstring class_name(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

// Text of a window of another process. Asking the owner can block while it services no
// messages, so the text that the system keeps for the window is read first; the message is
// the fallback, always with a time limit.
inline std::wstring window_text(HWND hwnd) {
    wchar_t stored[4096] = {};
    if (GetWindowTextW(hwnd, stored, 4096) > 0) {
        return stored;
    }
    wchar_t asked[4096] = {};
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(asked),
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, 200, &copied) != 0) {
        return asked;
    }
    return {};
}

inline DWORD window_pid(HWND hwnd) {
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    return pid;
}

struct TopLevelQuery {
    const wchar_t* class_name;
    const wchar_t* title;  // null: any title
    DWORD pid;             // 0: any process
    bool visible_only;
    HWND found;
};

inline BOOL CALLBACK match_top_level(HWND hwnd, LPARAM param) {
    auto* query = reinterpret_cast<TopLevelQuery*>(param);
    if (query->pid != 0 && window_pid(hwnd) != query->pid) {
        return TRUE;
    }
    if (class_name(hwnd) != query->class_name) {
        return TRUE;
    }
    if (query->visible_only && !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (query->title != nullptr && window_text(hwnd) != query->title) {
        return TRUE;
    }
    query->found = hwnd;
    return FALSE;
}

// First top-level window of the class (and title, process) asked for, or null.
inline HWND find_top_level(const wchar_t* wanted_class, const wchar_t* title, DWORD pid,
                           bool visible_only) {
    TopLevelQuery query{wanted_class, title, pid, visible_only, nullptr};
    EnumWindows(match_top_level, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

inline bool parse_number(const char* text, unsigned long* out) {
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || *end != '\0') {
        return false;
    }
    *out = value;
    return true;
}

}  // namespace helper
