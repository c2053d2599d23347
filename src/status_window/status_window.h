#pragma once

#include <cstddef>
#include <cstdint>

// Same tag as windows.h uses for HWND, so this header needs no windows.h.
struct HWND__;

namespace velda {

// The thread that owns and services the window, in status_window_win.cpp.
class StatusWindowThread;

// The window class, by which a second launcher finds the first one's window.
inline constexpr char kStatusWindowClass[] = "VeldaLauncherStatusWindow";

constexpr size_t kStatusWindowVersionSize = 64;
constexpr size_t kStatusWindowMessageSize = 256;

struct StatusWindowRecord {
    HWND__* hwnd;
    HWND__* label;
    int32_t spanish;
    char installed_version[kStatusWindowVersionSize];
    char server_version[kStatusWindowVersionSize];
    char message[kStatusWindowMessageSize];
    // Null when no window thread runs; the handles above belong to it.
    StatusWindowThread* window_thread;
};

// Window side, in status_window_win.cpp. The window lives on a thread of its own that answers
// its messages at all times; these calls hand the texts over and never wait for it, except
// create (until the window exists) and destroy (until the thread has ended).
[[nodiscard]] bool status_window_create(StatusWindowRecord* record, int spanish);
void status_window_set_versions(StatusWindowRecord* record, const char* installed,
                                const char* server);
void status_window_set_message(StatusWindowRecord* record, const char* message);
void status_window_refresh(StatusWindowRecord* record);
void status_window_destroy(StatusWindowRecord* record);

// Owns the status window of one run. Whatever creation made, a window without its text
// included, is destroyed by destroy() or when the owner ends. Text changes reach the window only
// while it is present.
class StatusWindow {
  public:
    StatusWindow() = default;
    ~StatusWindow() { destroy(); }
    StatusWindow(const StatusWindow&) = delete;
    StatusWindow& operator=(const StatusWindow&) = delete;

    // True only when the window and its text are on screen.
    [[nodiscard]] bool create(int spanish);
    bool present() const { return present_; }
    // The record behind the window, for the progress callbacks.
    StatusWindowRecord* record() { return &record_; }

    void set_versions(const char* installed, const char* server);
    void set_message(const char* message);
    void destroy();

  private:
    StatusWindowRecord record_ = {};
    bool present_ = false;
};

// Progress lines, shown only when record is not null.
void status_window_set_download_progress(StatusWindowRecord* record, int spanish, uint32_t done,
                                         uint32_t total);
void status_window_set_extract_progress(StatusWindowRecord* record, int spanish, uint32_t done,
                                        uint32_t total);

}  // namespace velda
