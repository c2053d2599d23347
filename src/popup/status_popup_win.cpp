#include <windows.h>

#include <cstring>

#include "popup/popup_text.h"
#include "popup/status_popup.h"

namespace {

constexpr char kStatusWindowClass[] = "VeldaLauncherStatusWindow";
constexpr COLORREF kBackgroundColour = RGB(18, 18, 18);
constexpr COLORREF kTextColour = RGB(120, 255, 120);
constexpr int kWindowWidth = 504;
constexpr int kWindowHeight = 180;

// Shared by the class, the erase handler and the colour handler; lives until the process ends.
HBRUSH g_status_popup_background_brush = nullptr;
bool class_registered = false;

HBRUSH background_brush() {
    if (g_status_popup_background_brush == nullptr) {
        g_status_popup_background_brush = CreateSolidBrush(kBackgroundColour);
    }
    return g_status_popup_background_brush;
}

LRESULT CALLBACK status_popup_wndproc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            // No quit message: the run goes on without the window.
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
    window_class.lpfnWndProc = status_popup_wndproc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = background_brush();
    window_class.lpszClassName = kStatusWindowClass;
    if (RegisterClassA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS) {
        class_registered = true;
    }
    return class_registered;
}

void drain_messages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

bool status_popup_create(StatusPopup* popup, int spanish) {
    std::memset(popup, 0, sizeof(*popup));
    popup->spanish = spanish;
    popup_store_message(popup, popup_tr(spanish, "ready"));

    HINSTANCE instance = GetModuleHandleA(nullptr);
    if (!register_status_class(instance)) {
        return false;
    }
    popup->hwnd = CreateWindowExA(WS_EX_TOPMOST, kStatusWindowClass, popup_tr(spanish, "title"),
                                  WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT,
                                  kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
    if (popup->hwnd == nullptr) {
        return false;
    }
    popup->label = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 14, 14, 468, 120,
                                   popup->hwnd, nullptr, instance, nullptr);
    ShowWindow(popup->hwnd, SW_SHOW);
    if (popup->label == nullptr) {
        return false;
    }
    status_popup_refresh(popup);
    return true;
}

void status_popup_refresh(StatusPopup* popup) {
    if (popup->label == nullptr) {
        return;
    }
    char text[kPopupTextSize];
    format_popup_text(*popup, text);
    SetWindowTextA(popup->label, text);
    UpdateWindow(popup->label);
    UpdateWindow(popup->hwnd);
    drain_messages();
}

void status_popup_set_versions(StatusPopup* popup, const char* installed, const char* server) {
    popup_store_versions(popup, installed, server);
    if (popup->label != nullptr) {
        status_popup_refresh(popup);
    }
}

void status_popup_set_message(StatusPopup* popup, const char* message) {
    popup_store_message(popup, message);
    if (popup->label != nullptr) {
        status_popup_refresh(popup);
    }
}

void status_popup_destroy(StatusPopup* popup) {
    if (popup->hwnd == nullptr) {
        return;
    }
    DestroyWindow(popup->hwnd);
    popup->hwnd = nullptr;
    popup->label = nullptr;
}

bool StatusWindow::create(int spanish) {
    destroy();
    present_ = status_popup_create(&record_, spanish);
    return present_;
}

void StatusWindow::set_versions(const char* installed, const char* server) {
    if (present_) {
        status_popup_set_versions(&record_, installed, server);
    }
}

void StatusWindow::set_message(const char* message) {
    if (present_) {
        status_popup_set_message(&record_, message);
    }
}

void StatusWindow::destroy() {
    status_popup_destroy(&record_);
    present_ = false;
}

void status_popup_set_download_progress(StatusPopup* popup, int spanish, uint32_t done,
                                        uint32_t total) {
    if (popup == nullptr) {
        return;
    }
    char line[kProgressLineSize];
    format_download_progress(spanish, done, total, line);
    status_popup_set_message(popup, line);
}

void status_popup_set_extract_progress(StatusPopup* popup, int spanish, uint32_t done,
                                       uint32_t total) {
    if (popup == nullptr) {
        return;
    }
    char line[kProgressLineSize];
    format_extract_progress(spanish, done, total, line);
    status_popup_set_message(popup, line);
}
