#include <cstring>

#include "launcher/run_state.h"

int main() {
    // Large buffers: keep the run state off the stack.
    static LauncherRun run;
    std::memset(&run, 0, sizeof(run));
    int exit_code = 0;
    if (!run_startup(&run, &exit_code)) {
        return exit_code;
    }
    return run_update_check(&run);
}
