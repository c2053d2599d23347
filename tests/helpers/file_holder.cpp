// Holds files open the way a virus scanner or an indexer does: "file_holder MS PATH [MS PATH]...".
// Opens every path for reading without FILE_SHARE_DELETE, so that nobody can replace or delete
// it, prints "held" once all are open, and lets go of each path MS milliseconds after that, in
// the order of the times; prints "released" at the end. Exit code 2 on bad use or a path that
// could not be opened.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/win_handle.h"

using namespace velda;

namespace {

struct HeldFile {
    DWORD release_ms;
    UniqueFileHandle file;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (argc - 1) % 2 != 0) {
        std::fprintf(stderr, "usage: file_holder MS PATH [MS PATH]...\n");
        return 2;
    }
    std::vector<HeldFile> held;
    for (int i = 1; i + 1 < argc; i += 2) {
        UniqueFileHandle file(CreateFileA(argv[i + 1], GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            std::printf("cannot open %s: %lu\n", argv[i + 1], GetLastError());
            return 2;
        }
        held.push_back({static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10)), std::move(file)});
    }
    std::sort(held.begin(), held.end(),
              [](const HeldFile& a, const HeldFile& b) { return a.release_ms < b.release_ms; });
    std::printf("held\n");
    std::fflush(stdout);
    DWORD waited = 0;
    for (HeldFile& entry : held) {
        Sleep(entry.release_ms - waited);
        waited = entry.release_ms;
        entry.file.reset();
    }
    std::printf("released\n");
    std::fflush(stdout);
    return 0;
}
