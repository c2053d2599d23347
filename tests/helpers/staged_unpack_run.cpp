// staged_unpack_run.exe ZIP INSTALL VERSION: the package means' steps after its download. Unpacks
// ZIP into "<INSTALL>.staging\new" (begin_staging, then the launcher's extraction) and commits
// every staged file with VERSION as the stamp (list_staged_files, commit_staged). Prints one line
// {"unpack_s": S, "commit_s": S, "cleanup_s": S, "files": N, "committed": true|false} and exits 0
// when the release is in place, 1 otherwise.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/install_paths.h"
#include "install/extract.h"
#include "install/staged_commit.h"
#include "status_window/status_window_text.h"

using namespace velda;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool unpack_into_staging(const char* zip_path, const char* install_folder) {
    char staging[kPathSize] = {};
    char fresh[kPathSize] = {};
    if (!begin_staging(install_folder) || !staging_folder_of(install_folder, staging) ||
        !join_path(staging, "new", fresh)) {
        return false;
    }
    // The same callback, without a window record, as extract_run.exe passes.
    DownloadProgressContext progress = {nullptr, 0, 0, 0};
    return extract_zip_with_progress(zip_path, fresh, launcher_extract_progress_cb, &progress).ok();
}

bool commit_staged_files(const char* install_folder, const char* version, size_t* files) {
    std::vector<std::string> staged;
    if (!list_staged_files(install_folder, &staged)) {
        return false;
    }
    CommitRecord plan;
    plan.version = version;
    for (std::string& path : staged) {
        plan.entries.push_back({std::move(path), CommitChange::Put});
    }
    *files = plan.entries.size();
    return commit_staged(install_folder, plan).result == CommitResult::Committed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: staged_unpack_run ZIP INSTALL VERSION\n");
        return 2;
    }
    Clock::time_point start = Clock::now();
    bool committed = unpack_into_staging(argv[1], argv[2]);
    double unpack_seconds = seconds_since(start);
    size_t files = 0;
    start = Clock::now();
    committed = committed && commit_staged_files(argv[2], argv[3], &files);
    double commit_seconds = seconds_since(start);
    // The launcher deletes the old files set aside only once the product has started.
    start = Clock::now();
    remove_retired_staging(argv[2]);
    double cleanup_seconds = seconds_since(start);
    std::printf(
        "{\"unpack_s\": %.6f, \"commit_s\": %.6f, \"cleanup_s\": %.6f, \"files\": %zu, "
        "\"committed\": %s}\n",
        unpack_seconds, commit_seconds, cleanup_seconds, files, committed ? "true" : "false");
    std::fflush(stdout);
    return committed ? 0 : 1;
}
