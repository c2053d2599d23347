#include "start/product_end.h"

namespace velda {

ProductEndDecision decide_product_end(const std::vector<ObservedProduct>& products,
                                      uint32_t close_limit_ms) {
    ProductEndDecision decision{std::vector<ProductAction>(products.size(), ProductAction::Leave),
                                true, false, 0};
    for (size_t i = 0; i < products.size(); ++i) {
        const ObservedProduct& product = products[i];
        bool in_time = product.asked && product.ms_since_asked < close_limit_ms;
        if (!product.running) {
            continue;
        }
        if (product.has_window && !product.asked) {
            decision.actions[i] = ProductAction::Ask;
        } else if (in_time) {
            decision.actions[i] = ProductAction::Wait;
        } else if (product.has_window) {
            if (!decision.postponed) {
                decision.front_process = i;
            }
            decision.postponed = true;
            continue;
        } else {
            decision.actions[i] = ProductAction::Terminate;
            continue;
        }
        decision.finished = false;
    }
    if (!decision.finished || decision.postponed) {
        for (ProductAction& action : decision.actions) {
            if (action == ProductAction::Terminate) {
                action = decision.finished ? ProductAction::Leave : ProductAction::Wait;
            }
        }
    }
    if (!decision.finished) {
        decision.postponed = false;
    }
    return decision;
}

std::wstring normalised_image_path(std::wstring_view path) {
    for (std::wstring_view prefix : {std::wstring_view(L"\\\\?\\"), std::wstring_view(L"\\??\\")}) {
        if (path.substr(0, prefix.size()) == prefix) {
            path.remove_prefix(prefix.size());
            break;
        }
    }
    std::wstring out;
    for (wchar_t c : path) {
        wchar_t unit = c == L'/' ? L'\\' : c;
        if (unit == L'\\' && !out.empty() && out.back() == L'\\') {
            continue;
        }
        out += (unit >= L'a' && unit <= L'z') ? static_cast<wchar_t>(unit - L'a' + L'A') : unit;
    }
    while (!out.empty() && out.back() == L'\\') {
        out.pop_back();
    }
    return out;
}

}  // namespace velda
