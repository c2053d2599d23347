// delta_apply_run.exe PATCH BASE OUT SIZE: applies PATCH to BASE with the launcher's
// apply_delta_patch_file, writing OUT of SIZE bytes, and prints
// "result=<reason> elapsed_ms=<ms> peak_working_set=<bytes>" for the patch benchmark.
// Exits 1 when the patch did not apply.

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>

#include "delta/delta_file.h"

using namespace velda;

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: delta_apply_run PATCH BASE OUT SIZE\n");
        return 2;
    }
    uint64_t size = std::strtoull(argv[4], nullptr, 10);
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DeltaResult result = apply_delta_patch_file(argv[1], argv[2], argv[3], size);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    double elapsed_ms =
        1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    std::printf("result=%s elapsed_ms=%.1f peak_working_set=%zu\n", delta_result_text(result),
                elapsed_ms, static_cast<size_t>(counters.PeakWorkingSetSize));
    return result == DeltaResult::Applied ? 0 : 1;
}
