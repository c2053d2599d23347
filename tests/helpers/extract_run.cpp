// extract_run.exe ZIP DEST [--record] [--spanish]: runs the launcher's package extraction.
// Without --record it passes no status window record. With --record it passes a record without a
// window, whose message keeps the last progress line, and prints it as "message=...". Prints
// "result=true" or "result=false" and exits 0 or 1 accordingly.

#include <cstdio>
#include <cstring>

#include "install/extract.h"
#include "status_window/status_window_text.h"

using namespace velda;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: extract_run ZIP DEST [--record] [--spanish]\n");
        return 2;
    }
    bool record = false;
    int spanish = 0;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--record") == 0) {
            record = true;
        } else if (std::strcmp(argv[i], "--spanish") == 0) {
            spanish = 1;
        }
    }
    StatusWindowRecord window_record;
    std::memset(&window_record, 0, sizeof(window_record));
    window_record.spanish = spanish;
    DownloadProgressContext progress = {record ? &window_record : nullptr, spanish, 0, 0};
    bool extracted =
        extract_zip_with_progress(argv[1], argv[2], launcher_extract_progress_cb, &progress).ok();
    if (record) {
        std::printf("message=%s\n", window_record.message);
    }
    std::printf("result=%s\n", extracted ? "true" : "false");
    std::fflush(stdout);
    return extracted ? 0 : 1;
}
