#pragma once

#include <cstddef>

namespace velda {

constexpr size_t kExtractCommandSize = 4096;

// The child gets the package path and the destination in these two variables of its
// environment, whole and in UTF-16, so that no file name is ever read as script text.
inline constexpr wchar_t kExtractZipVariable[] = L"VELDA_EXTRACT_ZIP";
inline constexpr wchar_t kExtractDestinationVariable[] = L"VELDA_EXTRACT_DEST";

// Where PowerShell is looked for, under the system folder, in order; nothing else is searched.
inline constexpr const char* kPowerShellPrograms[] = {
    "WindowsPowerShell\\v1.0\\powershell.exe",
    "powershell.exe",
};

// How the script meets an entry that cannot be extracted.
enum class ExtractFailureMode {
    // The script as it stands: PowerShell goes on after a failing statement and exits with the
    // success of the last one, so a failed entry still ends with 0. It takes its two paths
    // between single quotes.
    LastStatementDecides,
    // The script inside try/catch with errors made terminating: the first error ends it, its
    // message on standard error, exit code 1. The launcher's form; it reads both paths from its
    // environment.
    FirstErrorEnds,
};

// The script as it stands: two %s, the package path and then the destination.
extern const char kExtractCommandTemplate[];
// The launcher's command, whole: no placeholder.
extern const char kFirstErrorEndsExtractCommand[];

// The command text of a form: the template of the script as it stands, the launcher's command.
const char* extract_command_text(ExtractFailureMode mode);

// True for the five characters that open and close a single-quoted PowerShell string: ' and
// U+2018 to U+201B. at points into UTF-8 text; *length gets the character's byte count.
[[nodiscard]] bool is_powershell_single_quote(const char* at, size_t* length);

// Formats the script as it stands with every quote character of both paths doubled, so that
// each stays one single-quoted PowerShell string. False, with out empty, when it does not fit.
[[nodiscard]] bool format_extract_command(const char* zip_path, const char* destination, char* out,
                                          size_t out_size);

// The launcher's command into out, zero-filled first (CreateProcess may write to it). False,
// with out empty, when it does not fit.
[[nodiscard]] bool copy_extract_command(char* out, size_t out_size);

}  // namespace velda
