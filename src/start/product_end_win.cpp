#include "start/product_end.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "common/install_paths.h"
#include "common/win_handle.h"

namespace velda {

namespace {

struct Product {
    UniqueHandle process;
    DWORD pid = 0;
    bool asked = false;
    DWORD asked_at = 0;
    HWND window = nullptr;  // a visible top-level window, last seen
};

std::wstring long_wide_path(const char* path) {
    wchar_t wide[MAX_PATH * 2] = {};
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2) == 0) {
        return {};
    }
    wchar_t full[MAX_PATH * 2] = {};
    DWORD length = GetLongPathNameW(wide, full, MAX_PATH * 2);
    return normalised_image_path(length > 0 && length < MAX_PATH * 2 ? full : wide);
}

bool same_image(HANDLE process, const std::wstring& wanted) {
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, image, &size)) {
        return false;
    }
    std::wstring seen = normalised_image_path(image);
    return CompareStringOrdinal(seen.c_str(), -1, wanted.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Every running process whose image is wanted; *unopened counts those that could not be read.
std::vector<Product> find_products(const std::wstring& wanted, unsigned* unopened) {
    std::vector<Product> products;
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    if (!snapshot || !Process32FirstW(snapshot.get(), &entry)) {
        return products;
    }
    do {
        if (CompareStringOrdinal(entry.szExeFile, -1, L"Velda.exe", -1, TRUE) != CSTR_EQUAL ||
            entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        Product product;
        product.pid = entry.th32ProcessID;
        product.process.reset(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID));
        if (!product.process) {
            ++*unopened;  // may be ours; it cannot be told
            continue;
        }
        if (same_image(product.process.get(), wanted)) {
            products.push_back(std::move(product));
        }
    } while (Process32NextW(snapshot.get(), &entry));
    return products;
}

struct WindowSearch {
    DWORD pid;
    bool post_close;
    HWND found;
};

BOOL CALLBACK visit_window(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == search->pid && IsWindowVisible(window)) {
        if (search->found == nullptr) {
            search->found = window;
        }
        if (search->post_close) {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    return TRUE;
}

HWND visible_window_of(DWORD pid, bool post_close) {
    WindowSearch search{pid, post_close, nullptr};
    EnumWindows(visit_window, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool running(const Product& product) {
    return WaitForSingleObject(product.process.get(), 0) == WAIT_TIMEOUT;
}

std::vector<ObservedProduct> observe(std::vector<Product>* products) {
    std::vector<ObservedProduct> seen;
    for (Product& product : *products) {
        bool alive = running(product);
        product.window = alive ? visible_window_of(product.pid, false) : nullptr;
        seen.push_back({alive, product.window != nullptr, product.asked,
                        product.asked ? GetTickCount() - product.asked_at : 0});
    }
    return seen;
}

struct AskNotice {
    void (*on_first_ask)(void*);
    void* context;
    bool given;
};

void act(const ProductEndDecision& decision, std::vector<Product>* products,
         ProductEndResult* result, AskNotice* notice) {
    for (size_t i = 0; i < products->size(); ++i) {
        Product& product = (*products)[i];
        if (decision.actions[i] == ProductAction::Ask) {
            if (!notice->given && notice->on_first_ask != nullptr) {
                notice->on_first_ask(notice->context);
            }
            notice->given = true;
            visible_window_of(product.pid, true);
            product.asked = true;
            product.asked_at = GetTickCount();
        } else if (decision.actions[i] == ProductAction::Terminate) {
            if (TerminateProcess(product.process.get(), 1)) {
                WaitForSingleObject(product.process.get(), 5000);
                ++result->ended;
            } else {
                result->last_error = GetLastError();
                ++result->not_ended;
            }
        }
    }
}

}  // namespace

ProductEndResult end_installation_products(const char* install_folder, uint32_t close_limit_ms,
                                           void (*on_first_ask)(void*), void* context) {
    ProductEndResult result;
    char product_path[kPathSize] = {};
    if (!product_path_in(install_folder, product_path)) {
        return result;
    }
    std::vector<Product> products = find_products(long_wide_path(product_path), &result.not_ended);
    AskNotice notice{on_first_ask, context, false};
    for (;;) {
        std::vector<ObservedProduct> seen = observe(&products);
        ProductEndDecision decision = decide_product_end(seen, close_limit_ms);
        act(decision, &products, &result, &notice);
        if (decision.finished) {
            for (size_t i = 0; i < products.size(); ++i) {
                result.closed += products[i].asked && !seen[i].running ? 1 : 0;
            }
            result.postponed = decision.postponed;
            if (decision.postponed) {
                result.front_window = products[decision.front_process].window;
            }
            return result;
        }
        Sleep(kProductPollMs);
    }
}

void bring_to_front(const ProductEndResult& result) {
    HWND window = static_cast<HWND>(result.front_window);
    if (window == nullptr || !IsWindow(window)) {
        return;
    }
    if (IsIconic(window)) {
        ShowWindow(window, SW_RESTORE);
    }
    SetForegroundWindow(window);
}

}  // namespace velda
