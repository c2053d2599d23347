#include "install/extract.h"

#include <windows.h>

#include "install/extract_command.h"
#include "install/progress_lines.h"
#include "common/fs.h"
#include "common/log.h"
#include "common/path_size.h"
#include "common/wide.h"
#include "start/process.h"

namespace velda {

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

// The first PowerShell of the system folder that is there; the first one when none is, so that
// starting it fails with the system's reason.
bool find_powershell(char out[kPathSize]) {
    for (const char* candidate : kPowerShellPrograms) {
        if (system_program_path(candidate, out) && file_exists_not_directory(out)) {
            return true;
        }
    }
    return system_program_path(kPowerShellPrograms[0], out);
}

}  // namespace

Status extract_zip_with_progress(const char* zip_path, const char* destination,
                                 ProgressCallback callback, void* user_data) {
    log_line("Descomprimiendo actualizacion...");

    char command[kExtractCommandSize];
    char powershell[kPathSize];
    wchar_t wide_zip[kPathSize];
    wchar_t wide_destination[kPathSize];
    if (!copy_extract_command(command, sizeof(command)) ||
        !ansi_path_to_wide(zip_path, wide_zip, kPathSize) ||
        !ansi_path_to_wide(destination, wide_destination, kPathSize)) {
        return Status::failure(StatusStage::Extraction, 0,
                               "las rutas no caben en el entorno de PowerShell");
    }
    if (!find_powershell(powershell)) {
        return Status::failure(StatusStage::Extraction, GetLastError(),
                               "la ruta de PowerShell no cabe");
    }
    const ChildVariable paths[] = {{kExtractZipVariable, wide_zip},
                                   {kExtractDestinationVariable, wide_destination}};
    ChildProgram program{powershell, command, paths, 2};
    ExtractionProgress progress(callback, user_data);
    unsigned long exit_code = 1;
    FirstLine error_line;
    if (!run_hidden(program, &progress, &exit_code, &error_line)) {
        return Status::failure(StatusStage::Extraction, GetLastError(),
                               "PowerShell no se pudo ejecutar");
    }
    if (exit_code != 0) {
        return Status::failure(StatusStage::Extraction, 0,
                               "PowerShell termino con codigo %lu; stderr: %s", exit_code,
                               error_line.text()[0] != '\0' ? error_line.text() : "(vacio)");
    }
    return Status::success();
}

}  // namespace velda
