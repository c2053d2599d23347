#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/log.h"
#include "common/release_keys.h"
#include "common/win_handle.h"
#include "install/staged_commit.h"
#include "common/text.h"
#include "common/wide.h"
#include "launcher/launcher_folder.h"
#include "launcher/launcher_update.h"
#include "launcher/run_state.h"
#include "launcher/settings.h"
#include "launcher/standard_output.h"
#include "status_window/status_window.h"
#include "status_window/status_window_text.h"
#include "start/launch.h"

namespace velda {

namespace {

constexpr char kMutexName[] = "Local\\VeldaLauncherSingleInstance";
// How long a launcher handed over to waits for the old one to let go of the mutex and to end.
constexpr DWORD kHandOverWaitMs = 30000;

// This launcher's hold of the single-instance mutex; the system closes it when the process ends.
UniqueHandle& single_instance() {
    static UniqueHandle mutex;
    return mutex;
}

void focus_running_launcher() {
    HWND window = FindWindowA(kStatusWindowClass, nullptr);
    if (window == nullptr) {
        return;
    }
    ShowWindow(window, IsIconic(window) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window);
    FlashWindow(window, TRUE);
}

// True when another launcher already holds the mutex. Ours is never closed: the system
// releases it when the process ends.
bool another_launcher_running() {
    UniqueHandle mutex(CreateMutexA(nullptr, TRUE, kMutexName));
    if (!mutex || GetLastError() != ERROR_ALREADY_EXISTS) {
        single_instance() = std::move(mutex);
        return false;
    }
    return true;
}

// Handed over to: the old launcher let go of the mutex before it started this one, and keeps it
// open until it ends. False when it did not let go in time.
bool take_over_from_previous_launcher(unsigned long previous_id) {
    UniqueHandle mutex(CreateMutexA(nullptr, FALSE, kMutexName));
    if (!mutex) {
        return false;
    }
    DWORD waited = WaitForSingleObject(mutex.get(), kHandOverWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        return false;
    }
    single_instance() = std::move(mutex);
    // Its file is replaced next, which only works once it has ended.
    UniqueHandle previous(OpenProcess(SYNCHRONIZE, FALSE, previous_id));
    if (previous) {
        WaitForSingleObject(previous.get(), kHandOverWaitMs);
    }
    return true;
}

// The old launcher's process id when it handed this run over, else 0. The variable goes at once,
// so that nothing this launcher starts inherits it; launchers without keys never take over.
unsigned long take_hand_over_variable() {
    char value[16] = {};
    DWORD length = GetEnvironmentVariableA(kHandOverVariable, value, sizeof(value));
    if (length == 0) {
        return 0;
    }
    SetEnvironmentVariableA(kHandOverVariable, nullptr);
    return length < sizeof(value) && kReleasePublicKeyCount > 0 ? hand_over_process_id(value) : 0;
}

// The wide name, converted here: the ANSI call may stop a UTF-8 name short of its buffer at a
// character boundary, and the cut path would then look whole.
bool resolve_launcher_folder(char folder[kPathSize]) {
    ZeroMemory(folder, kPathSize);
    static wchar_t wide[32768];
    DWORD units = GetModuleFileNameW(nullptr, wide, 32768);
    if (units == 0 || units >= 32768 || !wide_to_ansi_path(wide, folder, kPathSize)) {
        return false;
    }
    return launcher_folder_from_module_path(folder, std::strlen(folder), kPathSize);
}

}  // namespace

void show_error_box(const char* message) {
    MessageBoxA(nullptr, message, "Velda Launcher", MB_ICONERROR);
}

void give_up_single_instance() {
    if (single_instance()) {
        ReleaseMutex(single_instance().get());
    }
}

bool lend_single_instance_to(void* process) {
    HANDLE lent = nullptr;
    return !single_instance() ||
           DuplicateHandle(GetCurrentProcess(), single_instance().get(), process, &lent, 0, FALSE,
                           DUPLICATE_SAME_ACCESS) != FALSE;
}

bool run_startup(LauncherRun* run, int* exit_code) {
    connect_standard_output();
    run->previous_launcher_id = take_hand_over_variable();
    run->started_by_hand_over = run->previous_launcher_id != 0;
    if (run->started_by_hand_over) {
        log_detail("Tomando el relevo del lanzador anterior (proceso %lu)",
                   run->previous_launcher_id);
    }
    bool turned_away = run->started_by_hand_over
                           ? !take_over_from_previous_launcher(run->previous_launcher_id)
                           : another_launcher_running();
    if (turned_away) {
        log_line("Launcher ya esta ejecutandose; se enfocara la ventana existente.");
        focus_running_launcher();
        *exit_code = 0;
        return false;
    }
    run->spanish = read_language_flag(std::getenv("APPDATA"));
    // Without the window the run goes on; present() tells the later steps.
    static_cast<void>(run->status_window.create(run->spanish));
    if (!resolve_launcher_folder(run->launcher_folder)) {
        show_error_box("No se pudo resolver carpeta del launcher.");
        run->status_window.destroy();
        *exit_code = 1;
        return false;
    }
    run->paths = install_paths_for(run->launcher_folder);
    return true;
}

int run_final_stage(LauncherRun* run, FinalVariant variant) {
    const char* failure = "No se pudo ejecutar Velda.exe.";
    const char* folders[2] = {run->paths.install_folder, run->launcher_folder};
    const char** first = folders;
    if (variant == FinalVariant::ManifestNotDownloaded) {
        failure = "No se pudo descargar latest.json ni ejecutar Velda.exe local.";
    } else if (variant == FinalVariant::ManifestInvalid) {
        failure = "latest.json invalido y no se pudo ejecutar Velda.exe local.";
        first = folders + 1;
    }

    if (variant != FinalVariant::Normal) {
        run->status_window.set_versions(status_window_tr(run->spanish, "none"), "-");
    }
    run->status_window.set_message(status_window_tr(run->spanish, "starting"));
    bool started = false;
    for (const char** folder = first; folder != folders + 2 && !started; ++folder) {
        // An install folder whose paths do not fit was never formed.
        if (*folder == run->paths.install_folder && !run->paths.fits) {
            continue;
        }
        started = launch_velda(*folder);
    }
    run->status_window.destroy();
    if (started) {
        // What a finished update set aside is deleted only now, while the product starts.
        if (run->paths.fits) {
            remove_retired_staging(run->paths.install_folder);
        }
        return 0;
    }
    show_error_box(failure);
    return 1;
}

}  // namespace velda
