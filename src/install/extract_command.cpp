#include "install/extract_command.h"

#include <cstdio>
#include <cstring>

namespace velda {

// One line of PowerShell between double quotes; the paths go between its single quotes.
#define VELDA_EXTRACT_PREFIX "powershell -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "
#define VELDA_EXTRACT_SCRIPT                                                          \
    "$zip='%s';$dest='%s';"                                                           \
    "Add-Type -AssemblyName System.IO.Compression.FileSystem;"                        \
    "$archive=[System.IO.Compression.ZipFile]::OpenRead($zip);"                       \
    "$total=[Math]::Max($archive.Entries.Count,1);"                                   \
    "$i=0;"                                                                           \
    "foreach($entry in $archive.Entries){"                                            \
    "$target=Join-Path $dest $entry.FullName;"                                        \
    "if([string]::IsNullOrEmpty($entry.Name)){"                                       \
    "New-Item -ItemType Directory -Path $target -Force | Out-Null;"                   \
    "}else{"                                                                          \
    "$dir=Split-Path $target -Parent;"                                                \
    "if($dir){New-Item -ItemType Directory -Path $dir -Force | Out-Null;};"           \
    "[System.IO.Compression.ZipFileExtensions]::ExtractToFile($entry,$target,$true);" \
    "};"                                                                              \
    "$i++;"                                                                           \
    "Write-Output ('PROGRESS:{0}:{1}' -f $i,$total);"                                 \
    "}"                                                                               \
    "if($i -eq 0){Write-Output 'PROGRESS:1:1'};"                                      \
    "$archive.Dispose();"

extern const char kExtractCommandTemplate[] = VELDA_EXTRACT_PREFIX "\"" VELDA_EXTRACT_SCRIPT "\"";

// A statement that fails (a locked file, a folder in the way, a full disk) would otherwise end
// only itself, and the last statement's success would report the whole extraction as done.
extern const char kFirstErrorEndsExtractCommandTemplate[] =
    VELDA_EXTRACT_PREFIX "\"$ErrorActionPreference='Stop';try{" VELDA_EXTRACT_SCRIPT
                         "}catch{[Console]::Error.WriteLine($_.Exception.Message);exit 1}\"";

#undef VELDA_EXTRACT_SCRIPT
#undef VELDA_EXTRACT_PREFIX

const char* extract_command_template(ExtractFailureMode mode) {
    return mode == ExtractFailureMode::FirstErrorEnds ? kFirstErrorEndsExtractCommandTemplate
                                                      : kExtractCommandTemplate;
}

namespace {

// Doubles every single quote, the escape inside a single-quoted PowerShell string.
bool quote_single(const char* text, char* out, size_t out_size) {
    size_t used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        size_t needed = *p == '\'' ? 2 : 1;
        if (used + needed >= out_size) {
            return false;
        }
        out[used++] = *p;
        if (*p == '\'') {
            out[used++] = '\'';
        }
    }
    out[used] = '\0';
    return true;
}

}  // namespace

bool format_extract_command(const char* zip_path, const char* destination, char* out,
                            size_t out_size, ExtractFailureMode mode) {
    if (out_size == 0) {
        return false;
    }
    std::memset(out, 0, out_size);
    char quoted_zip[kExtractCommandSize];
    char quoted_destination[kExtractCommandSize];
    if (!quote_single(zip_path, quoted_zip, sizeof(quoted_zip)) ||
        !quote_single(destination, quoted_destination, sizeof(quoted_destination))) {
        return false;
    }
    int written = std::snprintf(out, out_size, extract_command_template(mode), quoted_zip,
                                quoted_destination);
    if (written < 0 || static_cast<size_t>(written) >= out_size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace velda
