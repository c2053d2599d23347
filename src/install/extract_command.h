#pragma once

#include <cstddef>

namespace velda {

constexpr size_t kExtractCommandSize = 4096;

// How the script meets an entry that cannot be extracted.
enum class ExtractFailureMode {
    // The script as it stands: PowerShell goes on after a failing statement and exits with the
    // success of the last one, so a failed entry still ends with 0.
    LastStatementDecides,
    // The script inside try/catch with errors made terminating: the first error ends it, its
    // message on standard error, exit code 1. The launcher's form.
    FirstErrorEnds,
};

// The extraction command templates: two %s, the package path and then the destination.
extern const char kExtractCommandTemplate[];
extern const char kFirstErrorEndsExtractCommandTemplate[];

const char* extract_command_template(ExtractFailureMode mode);

// Formats the command with every single quote in both paths doubled, so that each stays one
// single-quoted PowerShell string. Returns false when the result does not fit.
[[nodiscard]] bool format_extract_command(
    const char* zip_path, const char* destination, char* out, size_t out_size,
    ExtractFailureMode mode = ExtractFailureMode::FirstErrorEnds);

}  // namespace velda
