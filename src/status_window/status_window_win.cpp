#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/win_handle.h"
#include "status_window/status_window_text.h"
#include "status_window/status_window.h"

namespace velda {

namespace {

constexpr COLORREF kBackgroundColour = RGB(18, 18, 18);
constexpr COLORREF kTextColour = RGB(120, 255, 120);
constexpr int kWindowWidth = 504;
constexpr int kWindowHeight = 180;

// Posted by the launcher's thread to the window: a new text waits, or the window is to go.
constexpr UINT kShowPendingTextMessage = WM_APP + 1;
constexpr UINT kEndWindowMessage = WM_APP + 2;

// Shared by the class, the erase handler and the colour handler; lives until the process ends.
// Only the window thread uses them.
HBRUSH g_status_window_background_brush = nullptr;
bool class_registered = false;

HBRUSH background_brush() {
    if (g_status_window_background_brush == nullptr) {
        g_status_window_background_brush = CreateSolidBrush(kBackgroundColour);
    }
    return g_status_window_background_brush;
}

StatusWindowThread* owner_of(HWND hwnd) {
    return reinterpret_cast<StatusWindowThread*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

}  // namespace

// Creates the window on its own thread and keeps answering its messages there until stop(),
// while the launcher's thread works. Texts cross over through one guarded buffer: the newest
// text always wins and is always shown, and the launcher's thread never waits for the window.
class StatusWindowThread {
  public:
    // Starts the thread and waits until it has made the window (or failed to), so that a
    // second launcher finds the window from now on. first_text is shown before anything else.
    [[nodiscard]] bool start(int spanish, const char first_text[kStatusWindowTextSize]) {
        std::memcpy(pending_text_, first_text, sizeof(pending_text_));
        window_made_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        stop_requested_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!window_made_ || !stop_requested_) {
            return false;
        }
        try {
            thread_ = std::thread([this, spanish] { run(spanish); });
        } catch (const std::system_error&) {
            return false;  // The run goes on without a window.
        }
        WaitForSingleObject(window_made_.get(), INFINITE);
        return true;
    }

    HWND window() const { return window_; }
    HWND label() const { return label_; }

    void show_text(const char text[kStatusWindowTextSize]) {
        {
            std::lock_guard<std::mutex> guard(text_lock_);
            std::memcpy(pending_text_, text, sizeof(pending_text_));
        }
        // One message in the queue is enough: its handler reads the newest text.
        if (window_alive_ && !text_posted_.exchange(true)) {
            if (!PostMessageA(window_, kShowPendingTextMessage, 0, 0)) {
                text_posted_ = false;
            }
        }
    }

    // Ends the window and waits for the thread. The event ends the service loop; the posted
    // message also ends a modal loop (the user moving the window) that the loop is inside.
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        SetEvent(stop_requested_.get());
        if (window_alive_) {
            PostMessageA(window_, kEndWindowMessage, 0, 0);
        }
        thread_.join();
    }

    void show_pending_text() {
        text_posted_ = false;
        char text[kStatusWindowTextSize];
        {
            std::lock_guard<std::mutex> guard(text_lock_);
            std::memcpy(text, pending_text_, sizeof(text));
        }
        SetWindowTextA(label_, text);
        UpdateWindow(label_);
        UpdateWindow(window_);
    }

    void window_destroyed() { window_alive_ = false; }

  private:
    void run(int spanish);
    void serve_until_stopped();

    std::thread thread_;
    UniqueHandle window_made_;
    UniqueHandle stop_requested_;
    HWND window_ = nullptr;
    HWND label_ = nullptr;
    std::atomic<bool> window_alive_{false};
    std::atomic<bool> text_posted_{false};
    std::mutex text_lock_;
    char pending_text_[kStatusWindowTextSize] = {};
};

namespace {

LRESULT CALLBACK status_window_wndproc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CLOSE:
        case kEndWindowMessage:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            // No quit message: the run goes on without the window. Texts stop being posted.
            if (StatusWindowThread* owner = owner_of(hwnd)) {
                owner->window_destroyed();
            }
            return 0;
        case kShowPendingTextMessage:
            if (StatusWindowThread* owner = owner_of(hwnd)) {
                owner->show_pending_text();
            }
            return 0;
        case WM_ERASEBKGND: {
            HBRUSH brush = background_brush();
            RECT client;
            GetClientRect(hwnd, &client);
            FillRect(reinterpret_cast<HDC>(wparam), &client, brush);
            return 1;
        }
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wparam);
            SetTextColor(dc, kTextColour);
            SetBkColor(dc, kBackgroundColour);
            return reinterpret_cast<LRESULT>(background_brush());
        }
        default:
            return DefWindowProcA(hwnd, message, wparam, lparam);
    }
}

bool register_status_class(HINSTANCE instance) {
    if (class_registered) {
        return true;
    }
    WNDCLASSA window_class = {};
    window_class.style = 0;
    window_class.lpfnWndProc = status_window_wndproc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = background_brush();
    window_class.lpszClassName = kStatusWindowClass;
    if (RegisterClassA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        class_registered = true;
    }
    return class_registered;
}

}  // namespace

void StatusWindowThread::run(int spanish) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (register_status_class(instance)) {
        window_ =
            CreateWindowExA(WS_EX_TOPMOST, kStatusWindowClass, status_window_tr(spanish, "title"),
                            WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth,
                            kWindowHeight, nullptr, nullptr, instance, nullptr);
    }
    if (window_ != nullptr) {
        SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        window_alive_ = true;
        label_ = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 14, 14, 468, 120, window_,
                                 nullptr, instance, nullptr);
        ShowWindow(window_, SW_SHOW);
        if (label_ != nullptr) {
            // Before the first message is taken, so nobody ever sees the window without it.
            show_pending_text();
        }
    }
    SetEvent(window_made_.get());
    if (window_ == nullptr) {
        return;
    }
    serve_until_stopped();
    if (window_alive_) {
        DestroyWindow(window_);
    }
}

void StatusWindowThread::serve_until_stopped() {
    HANDLE stop = stop_requested_.get();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        DWORD woke = MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1) {
            return;  // stop requested, or the wait itself failed
        }
    }
}

bool status_window_create(StatusWindowRecord* record, int spanish) {
    std::memset(record, 0, sizeof(*record));
    record->spanish = spanish;
    status_window_store_message(record, status_window_tr(spanish, "ready"));

    auto* window_thread = new (std::nothrow) StatusWindowThread;
    if (window_thread == nullptr) {
        return false;
    }
    char text[kStatusWindowTextSize];
    format_status_window_text(*record, text);
    // A window without its text would stand blank on top of everything for the whole run.
    if (!window_thread->start(spanish, text) || window_thread->window() == nullptr ||
        window_thread->label() == nullptr) {
        window_thread->stop();
        delete window_thread;
        return false;
    }
    record->window_thread = window_thread;
    record->hwnd = window_thread->window();
    record->label = window_thread->label();
    return true;
}

void status_window_refresh(StatusWindowRecord* record) {
    if (record->label == nullptr || record->window_thread == nullptr) {
        return;
    }
    char text[kStatusWindowTextSize];
    format_status_window_text(*record, text);
    record->window_thread->show_text(text);
}

void status_window_set_versions(StatusWindowRecord* record, const char* installed,
                                const char* server) {
    status_window_store_versions(record, installed, server);
    if (record->label != nullptr) {
        status_window_refresh(record);
    }
}

void status_window_set_message(StatusWindowRecord* record, const char* message) {
    status_window_store_message(record, message);
    if (record->label != nullptr) {
        status_window_refresh(record);
    }
}

void status_window_destroy(StatusWindowRecord* record) {
    if (record->window_thread == nullptr) {
        return;
    }
    record->window_thread->stop();
    delete record->window_thread;
    record->window_thread = nullptr;
    record->hwnd = nullptr;
    record->label = nullptr;
}

bool StatusWindow::create(int spanish) {
    destroy();
    present_ = status_window_create(&record_, spanish);
    return present_;
}

void StatusWindow::set_versions(const char* installed, const char* server) {
    if (present_) {
        status_window_set_versions(&record_, installed, server);
    }
}

void StatusWindow::set_message(const char* message) {
    if (present_) {
        status_window_set_message(&record_, message);
    }
}

void StatusWindow::destroy() {
    status_window_destroy(&record_);
    present_ = false;
}

namespace {

using ProgressFormat = void (*)(int, uint32_t, uint32_t, char*);

void set_progress_line(StatusWindowRecord* record, ProgressFormat format, int spanish,
                       uint32_t done, uint32_t total) {
    if (record == nullptr) {
        return;
    }
    char line[kProgressLineSize];
    format(spanish, done, total, line);
    status_window_set_message(record, line);
}

}  // namespace

void status_window_set_download_progress(StatusWindowRecord* record, int spanish, uint32_t done,
                                         uint32_t total) {
    set_progress_line(record, format_download_progress, spanish, done, total);
}

void status_window_set_extract_progress(StatusWindowRecord* record, int spanish, uint32_t done,
                                        uint32_t total) {
    set_progress_line(record, format_extract_progress, spanish, done, total);
}

}  // namespace velda
