#include "launcher/run_state.h"

int main() {
    // Large buffers: keep the run state off the stack. The window goes with it at exit.
    static LauncherRun run;
    int exit_code = 0;
    if (!run_startup(&run, &exit_code)) {
        return exit_code;
    }
    return run_update_check(&run);
}
