#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velda {

// Ending the installation's own Velda.exe before a commit, without losing the user's work: each
// process is asked to close (WM_CLOSE to its visible top-level windows) and given the limit; one
// that has no window, or is still running without one after the limit, is ended; one that still
// shows a window after the limit may be asking whether to save, so it is left and the update is
// postponed. Nothing is ended while any process holds the update back.
inline constexpr uint32_t kProductCloseLimitMs = 10000;
inline constexpr uint32_t kProductPollMs = 100;

// One process whose image is the installation's Velda.exe, as last observed.
struct ObservedProduct {
    bool running;
    bool has_window;  // a visible top-level window
    bool asked;       // WM_CLOSE was posted to its windows
    uint32_t ms_since_asked;
};

enum class ProductAction { Leave, Ask, Wait, Terminate };

struct ProductEndDecision {
    std::vector<ProductAction> actions;  // one per process
    bool finished;                       // no Wait or Ask left: this is the last round
    bool postponed;                      // a process keeps its window after the limit
    size_t front_process;                // postponed: whose window comes to the front
};

// The next round. Ask and Wait keep the loop going; Terminate comes only in the last round and
// never when the update is postponed.
[[nodiscard]] ProductEndDecision decide_product_end(const std::vector<ObservedProduct>& products,
                                                    uint32_t close_limit_ms);

// A full image path in the form compared: "\\?\" and "\??\" dropped, "/" as a backslash, runs
// of separators as one, no trailing separator, ASCII letters in upper case.
[[nodiscard]] std::wstring normalised_image_path(std::wstring_view path);

// Not [[nodiscard]] on the struct: each field is read where it matters.
struct ProductEndResult {
    unsigned closed = 0;     // exited after being asked
    unsigned ended = 0;      // TerminateProcess
    unsigned not_ended = 0;  // could not be opened, queried or ended
    bool postponed = false;
    void* front_window = nullptr;  // HWND of a window that held the update back
    uint32_t last_error = 0;
    [[nodiscard]] bool all_gone() const { return !postponed && not_ended == 0; }
};

// Windows: every process whose image is "<install folder>\Velda.exe" (full path, compared
// case-insensitively), handled as above; other Velda.exe are left running. on_first_ask, when
// given, is called once, right before the first process is asked to close.
[[nodiscard]] ProductEndResult end_installation_products(const char* install_folder,
                                                         uint32_t close_limit_ms,
                                                         void (*on_first_ask)(void*) = nullptr,
                                                         void* context = nullptr);
// Brings the window that held the update back to the front.
void bring_to_front(const ProductEndResult& result);

}  // namespace velda
