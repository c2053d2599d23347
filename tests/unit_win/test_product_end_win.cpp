// Ending the installation's Velda.exe: stand-ins that close on WM_CLOSE, keep their window, take
// it down but run on, or have none; a Velda.exe of another folder is left running.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <cwchar>
#include <string>
#include <vector>

#include "test_support.h"
#include "common/win_handle.h"
#include "start/product_end.h"

using namespace velda;

namespace {

namespace fs = std::filesystem;

fs::path standin_exe() {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH);
    return fs::path(own).parent_path() / "helpers" / "velda_standin.exe";
}

// Starts a copy of the stand-in as <folder>\Velda.exe with its window mode.
UniqueHandle start_standin(const fs::path& folder, const wchar_t* mode) {
    fs::create_directories(folder);
    fs::path exe = folder / "Velda.exe";
    fs::copy_file(standin_exe(), exe, fs::copy_options::overwrite_existing);
    SetEnvironmentVariableW(L"VELDA_STANDIN_WINDOW", mode);
    SetEnvironmentVariableW(L"VELDA_STANDIN_STAY", L"60000");
    std::wstring command = L"\"" + exe.wstring() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  folder.wstring().c_str(), &startup, &info);
    SetEnvironmentVariableW(L"VELDA_STANDIN_WINDOW", nullptr);
    SetEnvironmentVariableW(L"VELDA_STANDIN_STAY", nullptr);
    if (!started) {
        return UniqueHandle();
    }
    CloseHandle(info.hThread);
    return UniqueHandle(info.hProcess);
}

bool has_visible_window(DWORD pid) {
    struct Search {
        DWORD pid;
        bool found;
    } search{pid, false};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == s->pid && IsWindowVisible(window)) {
                s->found = true;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool wait_for_window(HANDLE process) {
    for (int i = 0; i < 100; ++i) {
        if (has_visible_window(GetProcessId(process))) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

bool still_running(HANDLE process) {
    return WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

std::string helper_mode_text(const wchar_t* mode) {
    return std::string(mode, mode + std::wcslen(mode));
}

struct Case {
    const wchar_t* mode;
    unsigned closed;
    unsigned ended;
    bool postponed;
};

TEST(ProductEndWin, EachStandInAsTheRuleSaysAndOtherFoldersLeftAlone) {
    if (!fs::exists(standin_exe())) {
        GTEST_SKIP() << "no stand-in at " << standin_exe().string();
    }
    const Case cases[] = {
        {L"closes", 1, 0, false},
        {L"none", 0, 1, false},
        {L"lingers", 0, 1, false},
        {L"keeps", 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << helper_mode_text(c.mode));
        TempFolder root;
        fs::path install = root.path() / "velda";
        UniqueHandle ours = start_standin(install, c.mode);
        UniqueHandle other = start_standin(root.path() / "other", L"none");
        ASSERT_TRUE(ours && other);
        if (std::wstring(c.mode) != L"none") {
            ASSERT_TRUE(wait_for_window(ours.get()))
                << "running: " << still_running(ours.get()) << " pid " << GetProcessId(ours.get());
        }
        ProductEndResult result = end_installation_products(install.string().c_str(), 4000);
        EXPECT_EQ(result.closed, c.closed);
        EXPECT_EQ(result.ended, c.ended);
        EXPECT_EQ(result.postponed, c.postponed);
        EXPECT_EQ(result.not_ended, 0u);
        EXPECT_EQ(result.front_window != nullptr, c.postponed);
        EXPECT_EQ(still_running(ours.get()), c.postponed);
        EXPECT_TRUE(still_running(other.get())) << "a Velda.exe of another folder";
        TerminateProcess(ours.get(), 0);
        TerminateProcess(other.get(), 0);
        WaitForSingleObject(ours.get(), 5000);
        WaitForSingleObject(other.get(), 5000);
    }
}

}  // namespace
