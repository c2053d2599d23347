// Measures how fast the launcher's status window answers, as a user's desktop would notice.
//
//   window_probe.exe [--pid N] [--wait MS] [--every MS] [--for MS]
//
// Finds the window (class "VeldaLauncherStatusWindow"), then sends it WM_NULL with
// SendMessageTimeout every 50 ms (--every) until it has gone or --for ms have passed (default
// 120000). Each probe waits up to 30 s for the answer. Prints one JSON line:
//   {"found": true, "probes": N, "longest_us": T, "unanswered": K, "gone": true|false}
// Exits 0 when the window was found, 1 when not, 2 on bad arguments.

#include "helper_util.h"

#include <string>

namespace {

const DWORD kFindPollMs = 20;
const UINT kProbeTimeoutMs = 30000;
const wchar_t kClass[] = L"VeldaLauncherStatusWindow";

struct Options {
    unsigned long pid = 0;
    unsigned long wait_ms = 10000;
    unsigned long every_ms = 50;
    unsigned long for_ms = 120000;
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        unsigned long* target = arg == "--pid"     ? &options->pid
                                : arg == "--wait"  ? &options->wait_ms
                                : arg == "--every" ? &options->every_ms
                                : arg == "--for"   ? &options->for_ms
                                                   : nullptr;
        if (target == nullptr || !helper::parse_number(argv[++i], target)) {
            return false;
        }
    }
    return true;
}

HWND wait_for_window(const Options& options) {
    ULONGLONG deadline = GetTickCount64() + options.wait_ms;
    for (;;) {
        HWND hwnd = helper::find_top_level(kClass, nullptr, options.pid, false);
        if (hwnd != nullptr || GetTickCount64() >= deadline) {
            return hwnd;
        }
        Sleep(kFindPollMs);
    }
}

long long microseconds_since(const LARGE_INTEGER& start, const LARGE_INTEGER& frequency) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options) || options.every_ms == 0) {
        fprintf(stderr, "usage: window_probe [--pid N] [--wait MS] [--every MS] [--for MS]\n");
        return 2;
    }
    HWND hwnd = wait_for_window(options);
    if (hwnd == nullptr) {
        helper::JsonObject().boolean("found", false).print();
        return 1;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ULONGLONG deadline = GetTickCount64() + options.for_ms;
    long long probes = 0, longest_us = 0, unanswered = 0;
    bool gone = false;
    while (GetTickCount64() < deadline) {
        if (!IsWindow(hwnd)) {
            gone = true;
            break;
        }
        LARGE_INTEGER sent;
        QueryPerformanceCounter(&sent);
        DWORD_PTR result = 0;
        LRESULT answered =
            SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, kProbeTimeoutMs, &result);
        long long took_us = microseconds_since(sent, frequency);
        // A window destroyed while the probe waited has answered in its way: it is gone.
        if (answered == 0 && IsWindow(hwnd)) {
            ++unanswered;
        }
        ++probes;
        if (took_us > longest_us) {
            longest_us = took_us;
        }
        Sleep(options.every_ms);
    }
    helper::JsonObject()
        .boolean("found", true)
        .number("probes", probes)
        .number("longest_us", longest_us)
        .number("unanswered", unanswered)
        .boolean("gone", gone)
        .print();
    return 0;
}
