#include "install/extract.h"

#include "install/extract_command.h"
#include "install/progress_lines.h"
#include "common/log.h"
#include "start/process.h"

namespace {

// Turns the child's output into entry counts; 0 of 1 as soon as the child runs.
class ExtractionProgress final : public ChildOutput {
  public:
    ExtractionProgress(ProgressCallback callback, void* user_data)
        : callback_(callback), user_data_(user_data) {
        progress_reader_init(&reader_);
    }

    void started() override { callback_(0, 1, user_data_); }
    void received(const char* bytes, size_t count) override {
        progress_reader_feed(&reader_, bytes, count, callback_, user_data_);
    }
    void finished() override { progress_reader_finish(&reader_, callback_, user_data_); }

  private:
    ProgressCallback callback_;
    void* user_data_;
    ProgressLineReader reader_;
};

}  // namespace

bool extract_zip_with_progress(const char* zip_path, const char* destination,
                               ProgressCallback callback, void* user_data) {
    log_line("Descomprimiendo actualizacion...");

    char command[kExtractCommandSize];
    if (!format_extract_command(zip_path, destination, command, sizeof(command))) {
        return false;
    }
    ExtractionProgress progress(callback, user_data);
    unsigned long exit_code = 1;
    return run_hidden(command, &progress, &exit_code) && exit_code == 0;
}
