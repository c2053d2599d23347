#include "install/extract_command.h"

#include <cstdio>
#include <cstring>

namespace velda {

// One line of PowerShell between double quotes. The script as it stands takes the paths between
// its single quotes; the launcher's form reads them from its environment.
#define VELDA_EXTRACT_PREFIX "powershell -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "
#define VELDA_EXTRACT_QUOTED_PATHS "$zip='%s';$dest='%s';"
#define VELDA_EXTRACT_ENVIRONMENT_PATHS "$zip=$env:VELDA_EXTRACT_ZIP;$dest=$env:VELDA_EXTRACT_DEST;"
#define VELDA_EXTRACT_SCRIPT_BODY                                                     \
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

extern const char kExtractCommandTemplate[] =
    VELDA_EXTRACT_PREFIX "\"" VELDA_EXTRACT_QUOTED_PATHS VELDA_EXTRACT_SCRIPT_BODY "\"";

// A statement that fails (a locked file, a folder in the way, a full disk) would otherwise end
// only itself, and the last statement's success would report the whole extraction as done.
// PowerShell also ends a single-quoted string at any of four typographic quotes, so a path
// between quotes could end its string and run the rest of its name: the paths come from the
// environment instead.
extern const char kFirstErrorEndsExtractCommand[] = VELDA_EXTRACT_PREFIX
    "\"$ErrorActionPreference='Stop';try{" VELDA_EXTRACT_ENVIRONMENT_PATHS VELDA_EXTRACT_SCRIPT_BODY
    "}catch{[Console]::Error.WriteLine($_.Exception.Message);exit 1}\"";

#undef VELDA_EXTRACT_SCRIPT_BODY
#undef VELDA_EXTRACT_ENVIRONMENT_PATHS
#undef VELDA_EXTRACT_QUOTED_PATHS
#undef VELDA_EXTRACT_PREFIX

static_assert(sizeof(kFirstErrorEndsExtractCommand) <= kExtractCommandSize);

const char* extract_command_text(ExtractFailureMode mode) {
    return mode == ExtractFailureMode::FirstErrorEnds ? kFirstErrorEndsExtractCommand
                                                      : kExtractCommandTemplate;
}

bool is_powershell_single_quote(const char* at, size_t* length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(at);
    if (bytes[0] == '\'') {
        *length = 1;
        return true;
    }
    // U+2018 to U+201B in UTF-8: E2 80 98 to E2 80 9B.
    if (bytes[0] == 0xE2 && bytes[1] == 0x80 && bytes[2] >= 0x98 && bytes[2] <= 0x9B) {
        *length = 3;
        return true;
    }
    return false;
}

namespace {

// Doubles every quote character, the escape inside a single-quoted PowerShell string.
bool quote_single(const char* text, char* out, size_t out_size) {
    size_t used = 0;
    const char* p = text;
    while (*p != '\0') {
        size_t length = 1;
        const bool quote = is_powershell_single_quote(p, &length);
        const size_t needed = quote ? 2 * length : 1;
        if (used + needed >= out_size) {
            return false;
        }
        for (size_t copy = 0; copy < (quote ? 2u : 1u); ++copy) {
            std::memcpy(out + used, p, length);
            used += length;
        }
        p += length;
    }
    out[used] = '\0';
    return true;
}

}  // namespace

bool format_extract_command(const char* zip_path, const char* destination, char* out,
                            size_t out_size) {
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
    int written =
        std::snprintf(out, out_size, kExtractCommandTemplate, quoted_zip, quoted_destination);
    if (written < 0 || static_cast<size_t>(written) >= out_size) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool copy_extract_command(char* out, size_t out_size) {
    if (out_size == 0) {
        return false;
    }
    std::memset(out, 0, out_size);
    if (sizeof(kFirstErrorEndsExtractCommand) > out_size) {
        return false;
    }
    std::memcpy(out, kFirstErrorEndsExtractCommand, sizeof(kFirstErrorEndsExtractCommand));
    return true;
}

}  // namespace velda
