#include "launcher/dll_search.h"
#include "launcher/run_state.h"
#include "net/http.h"

using namespace velda;

int main() {
    load_dlls_from_system_folder_only();
    // Large buffers: keep the run state off the stack. The window goes with it at exit.
    static LauncherRun run;
    int exit_code = 0;
    if (!run_startup(&run, &exit_code)) {
        return exit_code;
    }
    int update_exit_code = run_update_check(&run);
    http_close_session();  // the run's connections end before the process does
    return update_exit_code;
}
