#pragma once

#include <cstddef>
#include <cstdint>

// Same tag as windows.h uses for HWND, so this header needs no windows.h.
struct HWND__;
// The thread that owns and services the window, in status_popup_win.cpp.
class StatusWindowThread;

constexpr size_t kPopupVersionSize = 64;
constexpr size_t kPopupMessageSize = 256;

struct StatusPopup {
    HWND__* hwnd;
    HWND__* label;
    int32_t spanish;
    char installed_version[kPopupVersionSize];
    char server_version[kPopupVersionSize];
    char message[kPopupMessageSize];
    // Null when no window thread runs; the handles above belong to it.
    StatusWindowThread* window_thread;
};

// Window side, in status_popup_win.cpp. The window lives on a thread of its own that answers
// its messages at all times; these calls hand the texts over and never wait for it, except
// create (until the window exists) and destroy (until the thread has ended).
bool status_popup_create(StatusPopup* popup, int spanish);
void status_popup_set_versions(StatusPopup* popup, const char* installed, const char* server);
void status_popup_set_message(StatusPopup* popup, const char* message);
void status_popup_refresh(StatusPopup* popup);
void status_popup_destroy(StatusPopup* popup);

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
    bool create(int spanish);
    bool present() const { return present_; }
    // The record behind the window, for the progress callbacks.
    StatusPopup* record() { return &record_; }

    void set_versions(const char* installed, const char* server);
    void set_message(const char* message);
    void destroy();

  private:
    StatusPopup record_ = {};
    bool present_ = false;
};

// Progress lines, shown only when popup is not null.
void status_popup_set_download_progress(StatusPopup* popup, int spanish, uint32_t done,
                                        uint32_t total);
void status_popup_set_extract_progress(StatusPopup* popup, int spanish, uint32_t done,
                                       uint32_t total);
