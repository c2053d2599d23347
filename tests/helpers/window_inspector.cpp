// Reports the launcher's status window (class "VeldaLauncherStatusWindow") as JSON.
//
//   window_inspector.exe [--pid N] [--wait MS] [--minimize]
//       one JSON object: title, text, styles, sizes, visible, iconic ("found": false if none)
//   window_inspector.exe [--pid N] [--wait MS] --close
//       as a user's close box does: posts WM_CLOSE, then {"found": true, "closed": true|false}
//       once the window has gone (or 10 s have passed)
//   window_inspector.exe [--pid N] [--wait MS] --watch MS [--until-gone]
//       one JSON line per distinct text seen while sampling every 20 ms; with --until-gone it
//       stops as soon as the window has gone, then a last line {"gone": true|false}
//
// Exits 0 when the window was found, 1 when not, 2 on bad arguments.

#include "helper_util.h"

#include <string>

namespace {

const DWORD kPollMs = 20;
const wchar_t kClass[] = L"VeldaLauncherStatusWindow";

struct Options {
    unsigned long pid = 0;
    unsigned long wait_ms = 0;
    unsigned long watch_ms = 0;
    bool watch = false;
    bool until_gone = false;
    bool minimize = false;
    bool close = false;
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--pid" && has_value) {
            if (!helper::parse_number(argv[++i], &options->pid)) {
                return false;
            }
        } else if (arg == "--wait" && has_value) {
            if (!helper::parse_number(argv[++i], &options->wait_ms)) {
                return false;
            }
        } else if (arg == "--watch" && has_value) {
            options->watch = true;
            if (!helper::parse_number(argv[++i], &options->watch_ms)) {
                return false;
            }
        } else if (arg == "--until-gone") {
            options->until_gone = true;
        } else if (arg == "--minimize") {
            options->minimize = true;
        } else if (arg == "--close") {
            options->close = true;
        } else {
            return false;
        }
    }
    return true;
}

HWND find_status(const Options& options) {
    return helper::find_top_level(kClass, nullptr, options.pid, false);
}

HWND wait_for_status(const Options& options) {
    ULONGLONG deadline = GetTickCount64() + options.wait_ms;
    for (;;) {
        HWND hwnd = find_status(options);
        if (hwnd != nullptr || GetTickCount64() >= deadline) {
            return hwnd;
        }
        Sleep(kPollMs);
    }
}

HWND first_child(HWND parent) {
    return GetWindow(parent, GW_CHILD);
}

std::wstring status_text(HWND hwnd) {
    HWND label = first_child(hwnd);
    return label != nullptr ? helper::window_text(label) : std::wstring();
}

void report(HWND hwnd, bool minimized_now) {
    helper::JsonObject json;
    json.boolean("found", true);
    json.number("pid", helper::window_pid(hwnd));
    json.text("title", helper::window_text(hwnd));
    LONG_PTR exstyle = GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
    LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    json.number("exstyle", static_cast<long long>(exstyle & 0xFFFFFFFF));
    json.number("style", static_cast<long long>(style & 0xFFFFFFFF));
    json.boolean("topmost", (exstyle & WS_EX_TOPMOST) != 0);
    RECT outer{};
    GetWindowRect(hwnd, &outer);
    json.number("x", outer.left).number("y", outer.top);
    json.number("width", outer.right - outer.left);
    json.number("height", outer.bottom - outer.top);
    json.boolean("visible", IsWindowVisible(hwnd) != FALSE);
    json.boolean("iconic", IsIconic(hwnd) != FALSE);
    if (minimized_now) {
        json.boolean("minimized_by_inspector", true);
    }

    HWND label = first_child(hwnd);
    if (label == nullptr) {
        json.null("text");
        json.null("child");
    } else {
        json.text("text", helper::window_text(label));
        RECT child{};
        GetWindowRect(label, &child);
        MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&child), 2);
        helper::JsonObject child_json;
        child_json.text("class", helper::class_name(label));
        child_json.number("id", GetDlgCtrlID(label));
        child_json.number("style",
                          static_cast<long long>(GetWindowLongPtrW(label, GWL_STYLE) & 0xFFFFFFFF));
        child_json.number("x", child.left).number("y", child.top);
        child_json.number("width", child.right - child.left);
        child_json.number("height", child.bottom - child.top);
        json.raw("child", child_json.str());
    }
    json.print();
}

// Minimising a window of another thread waits for that thread; posting keeps this program
// free, and the state is then polled for the time the caller allowed.
bool minimize(HWND hwnd, unsigned long wait_ms) {
    ShowWindowAsync(hwnd, SW_MINIMIZE);
    ULONGLONG deadline = GetTickCount64() + (wait_ms > 2000 ? wait_ms : 2000);
    while (!IsIconic(hwnd) && IsWindow(hwnd) && GetTickCount64() < deadline) {
        Sleep(kPollMs);
    }
    return IsIconic(hwnd) != FALSE;
}

bool close_window(HWND hwnd) {
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    ULONGLONG deadline = GetTickCount64() + 10000;
    while (IsWindow(hwnd) && GetTickCount64() < deadline) {
        Sleep(kPollMs);
    }
    return IsWindow(hwnd) == FALSE;
}

int watch(const Options& options, HWND hwnd) {
    ULONGLONG start = GetTickCount64();
    ULONGLONG deadline = start + options.watch_ms;
    std::wstring last;
    bool printed = false;
    while (GetTickCount64() < deadline) {
        if (!IsWindow(hwnd)) {
            if (options.until_gone) {
                helper::JsonObject().boolean("gone", true).print();
                return 0;
            }
            hwnd = find_status(options);
            if (hwnd == nullptr) {
                Sleep(kPollMs);
                continue;
            }
        }
        std::wstring text = status_text(hwnd);
        if (!printed || text != last) {
            helper::JsonObject()
                .number("ms", static_cast<long long>(GetTickCount64() - start))
                .text("text", text)
                .print();
            last = text;
            printed = true;
        }
        Sleep(kPollMs);
    }
    helper::JsonObject().boolean("gone", false).print();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: window_inspector [--pid N] [--wait MS] [--minimize | --close | "
                "--watch MS [--until-gone]]\n");
        return 2;
    }
    HWND hwnd = wait_for_status(options);
    if (hwnd == nullptr) {
        helper::JsonObject().boolean("found", false).print();
        return 1;
    }
    if (options.watch) {
        return watch(options, hwnd);
    }
    if (options.close) {
        helper::JsonObject().boolean("found", true).boolean("closed", close_window(hwnd)).print();
        return 0;
    }
    bool minimized = options.minimize && minimize(hwnd, options.wait_ms);
    report(hwnd, minimized);
    return 0;
}
