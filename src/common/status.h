#pragma once

#include <cstddef>

namespace velda {

// The step of an installation that a failure stopped at.
enum class StatusStage {
    None,          // nothing failed
    Download,      // a transfer; its own detail line already says why
    PackageCheck,  // the package's entries were read before unpacking
    Extraction,    // the PowerShell child
    ChangedFiles,  // a line of the changed-files list
    Validation,    // the installation after its means
    VersionStamp,  // the version stamp write
    Staging,       // bringing a means' files beside the installation
    Commit,        // moving the staged release into the installation
};

constexpr size_t kStatusReasonSize = 512;

// What a step of an installation ends with: nothing, or the stage that failed, why (bounded
// text, cut to fit) and the Win32 error of the call that failed (0 when none did). Passed up to
// where the run decides, which writes it once to the support log.
class [[nodiscard]] Status {
  public:
    [[nodiscard]] static Status success() { return Status(); }
    // A failure with no reason text: its detail was written where it happened.
    [[nodiscard]] static Status failure(StatusStage stage, unsigned long win32_error = 0);
    [[nodiscard]] static Status failure(StatusStage stage, unsigned long win32_error,
                                        const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    bool ok() const { return stage_ == StatusStage::None; }
    explicit operator bool() const { return ok(); }
    StatusStage stage() const { return stage_; }
    const char* reason() const { return reason_; }
    unsigned long win32_error() const { return win32_error_; }

  private:
    Status() = default;

    StatusStage stage_ = StatusStage::None;
    char reason_[kStatusReasonSize] = {};
    unsigned long win32_error_ = 0;
};

// A short Spanish name of the stage, for the detail line: "descompresion", ...
const char* status_stage_name(StatusStage stage);

// The support log's detail line of a failure: "Fallo en <stage>: <reason>", then
// " (GetLastError=<n>)" when a call failed. False, with out empty, when there is nothing to add:
// a success, or a failure whose detail was already written.
[[nodiscard]] bool format_status_detail(const Status& status, char* out, size_t out_size);

// Writes that line with log_detail, when there is one.
void log_status_detail(const Status& status);

}  // namespace velda
