#include <gtest/gtest.h>

#include <vector>

#include "start/product_end.h"

using namespace velda;

namespace {

using A = ProductAction;
constexpr uint32_t kLimit = kProductCloseLimitMs;

TEST(ProductEnd, EachRoundFromWhatIsObserved) {
    const ObservedProduct gone{false, false, true, 50};
    const ObservedProduct window_new{true, true, false, 0};
    const ObservedProduct windowless{true, false, false, 0};
    const ObservedProduct asked_window{true, true, true, 500};
    const ObservedProduct asked_closing{true, false, true, 500};
    const ObservedProduct kept_window{true, true, true, kLimit};
    const ObservedProduct lingering{true, false, true, kLimit};
    struct Case {
        const char* what;
        std::vector<ObservedProduct> seen;
        std::vector<A> actions;
        bool finished;
        bool postponed;
        size_t front;
    } cases[] = {
        {"none running", {}, {}, true, false, 0},
        {"a window is asked first", {window_new}, {A::Ask}, false, false, 0},
        {"no window at all: ended", {windowless}, {A::Terminate}, true, false, 0},
        {"closed after asking", {gone}, {A::Leave}, true, false, 0},
        {"asked, within the limit", {asked_window}, {A::Wait}, false, false, 0},
        {"window gone, still running, within the limit",
         {asked_closing},
         {A::Wait},
         false,
         false,
         0},
        {"window gone, still running after the limit: ended",
         {lingering},
         {A::Terminate},
         true,
         false,
         0},
        {"window kept after the limit: postponed", {kept_window}, {A::Leave}, true, true, 0},
        {"the windowless one waits for the others",
         {windowless, asked_window},
         {A::Wait, A::Wait},
         false,
         false,
         0},
        {"nothing is ended when the update is postponed",
         {windowless, gone, kept_window},
         {A::Leave, A::Leave, A::Leave},
         true,
         true,
         2},
        {"a window that appears later is asked too",
         {asked_window, window_new},
         {A::Wait, A::Ask},
         false,
         false,
         0},
    };
    for (const Case& c : cases) {
        ProductEndDecision decision = decide_product_end(c.seen, kLimit);
        EXPECT_EQ(decision.actions, c.actions) << c.what;
        EXPECT_EQ(decision.finished, c.finished) << c.what;
        EXPECT_EQ(decision.postponed, c.postponed) << c.what;
        if (c.postponed) {
            EXPECT_EQ(decision.front_process, c.front) << c.what;
        }
    }
}

TEST(ProductEnd, ImagePathsComparedInOneForm) {
    const wchar_t* same[] = {L"C:\\Apps\\Velda\\Velda.exe", L"c:/apps/velda/VELDA.EXE",
                             L"\\\\?\\C:\\Apps\\Velda\\Velda.exe",
                             L"\\??\\C:\\Apps\\\\Velda\\Velda.exe",
                             L"C:\\Apps\\Velda\\Velda.exe\\"};
    for (const wchar_t* path : same) {
        EXPECT_EQ(normalised_image_path(path), L"C:\\APPS\\VELDA\\VELDA.EXE");
    }
    EXPECT_NE(normalised_image_path(L"C:\\Other\\Velda.exe"),
              normalised_image_path(L"C:\\Apps\\Velda\\Velda.exe"));
}

}  // namespace
