// Waits for a message box titled "Velda Launcher", reports it as one JSON line and closes it.
//
//   msgbox_closer.exe [--timeout-ms N] [--pid N] [--title TEXT] [--no-close]
//
// Exits 0 when a box was seen, 1 when none appeared in time, 2 on bad arguments.

#include "helper_util.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD kPollMs = 20;
const int kMessageTextId = 0xFFFF;  // the static that holds a message box's text

struct Options {
    unsigned long timeout_ms = 10000;
    unsigned long pid = 0;
    std::wstring title = L"Velda Launcher";
    bool close = true;
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--timeout-ms" && has_value) {
            if (!helper::parse_number(argv[++i], &options->timeout_ms)) {
                return false;
            }
        } else if (arg == "--pid" && has_value) {
            if (!helper::parse_number(argv[++i], &options->pid)) {
                return false;
            }
        } else if (arg == "--title" && has_value) {
            options->title = helper::to_wide(argv[++i]);
        } else if (arg == "--no-close") {
            options->close = false;
        } else {
            return false;
        }
    }
    return true;
}

struct Buttons {
    std::vector<std::wstring> visible;
};

BOOL CALLBACK collect_button(HWND child, LPARAM param) {
    auto* buttons = reinterpret_cast<Buttons*>(param);
    if (IsWindowVisible(child) && _wcsicmp(helper::class_name(child).c_str(), L"Button") == 0) {
        buttons->visible.push_back(helper::window_text(child));
    }
    return TRUE;
}

std::string json_list(const std::vector<std::wstring>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + helper::json_quote(items[i]);
    }
    return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: msgbox_closer [--timeout-ms N] [--pid N] [--title T] [--no-close]\n");
        return 2;
    }

    ULONGLONG deadline = GetTickCount64() + options.timeout_ms;
    HWND box = nullptr;
    HWND text = nullptr;
    for (;;) {
        box = helper::find_top_level(L"#32770", options.title.c_str(), options.pid, true);
        // The text control is filled while the dialog initialises; wait until it is there.
        text = box != nullptr ? GetDlgItem(box, kMessageTextId) : nullptr;
        if (text != nullptr && !helper::window_text(text).empty()) {
            break;
        }
        if (GetTickCount64() >= deadline) {
            helper::JsonObject().boolean("found", false).print();
            return 1;
        }
        Sleep(kPollMs);
    }

    DWORD owner = helper::window_pid(box);
    // The launcher's own status window, if it still exists while its box is up.
    HWND status = helper::find_top_level(L"VeldaLauncherStatusWindow", nullptr, owner, false);
    Buttons buttons;
    EnumChildWindows(box, collect_button, reinterpret_cast<LPARAM>(&buttons));

    helper::JsonObject report;
    report.boolean("found", true);
    report.number("pid", owner);
    report.text("caption", helper::window_text(box));
    report.text("text", helper::window_text(text));
    report.raw("buttons", json_list(buttons.visible));
    report.boolean("status_window", status != nullptr);
    report.boolean("status_window_visible", status != nullptr && IsWindowVisible(status));
    report.boolean("any_status_window",
                   FindWindowA("VeldaLauncherStatusWindow", nullptr) != nullptr);
    report.print();

    if (!options.close) {
        return 0;
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 100 && IsWindow(box); ++i) {
        Sleep(kPollMs);
    }
    if (IsWindow(box)) {
        PostMessageW(box, WM_CLOSE, 0, 0);
    }
    return 0;
}
