#include "install/extract_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace velda;

namespace {

constexpr ExtractFailureMode kBothModes[] = {ExtractFailureMode::LastStatementDecides,
                                             ExtractFailureMode::FirstErrorEnds};

// The script as PowerShell must receive it, with the two paths already quoted.
std::string expected_script(const std::string& zip, const std::string& dest) {
    return "$zip='" + zip + "';$dest='" + dest +
           "';Add-Type -AssemblyName System.IO.Compression.FileSystem;$archive=[System.IO."
           "Compression.ZipFile]::OpenRead($zip);$total=[Math]::Max($archive.Entries.Count,1);$i="
           "0;foreach($entry in $archive.Entries){$target=Join-Path $dest $entry.FullName;if(["
           "string]::IsNullOrEmpty($entry.Name)){New-Item -ItemType Directory -Path $target "
           "-Force | Out-Null;}else{$dir=Split-Path $target -Parent;if($dir){New-Item -ItemType "
           "Directory -Path $dir -Force | Out-Null;};[System.IO.Compression.ZipFileExtensions]::"
           "ExtractToFile($entry,$target,$true);};$i++;Write-Output ('PROGRESS:{0}:{1}' -f $i,"
           "$total);}if($i -eq 0){Write-Output 'PROGRESS:1:1'};$archive.Dispose();";
}

std::string expected_command(const std::string& zip, const std::string& dest,
                             ExtractFailureMode mode = ExtractFailureMode::FirstErrorEnds) {
    std::string script = expected_script(zip, dest);
    if (mode == ExtractFailureMode::FirstErrorEnds) {
        script = "$ErrorActionPreference='Stop';try{" + script +
                 "}catch{[Console]::Error.WriteLine($_.Exception.Message);exit 1}";
    }
    return "powershell -NoLogo -NoProfile -ExecutionPolicy Bypass -Command \"" + script + "\"";
}

std::string command_for(const char* zip, const char* dest,
                        ExtractFailureMode mode = ExtractFailureMode::FirstErrorEnds) {
    char out[kExtractCommandSize];
    std::memset(out, 'x', sizeof(out));
    EXPECT_TRUE(format_extract_command(zip, dest, out, sizeof(out), mode));
    return out;
}

TEST(ExtractCommand, TemplatesAreTheFixedScriptAndItsGuardedForm) {
    EXPECT_EQ(std::string(kExtractCommandTemplate),
              expected_command("%s", "%s", ExtractFailureMode::LastStatementDecides));
    EXPECT_EQ(std::strlen(kExtractCommandTemplate), 729u);
    EXPECT_EQ(std::string(kFirstErrorEndsExtractCommandTemplate), expected_command("%s", "%s"));
    for (ExtractFailureMode mode : kBothModes) {
        EXPECT_STREQ(extract_command_template(mode), expected_command("%s", "%s", mode).c_str());
    }
}

struct CommandCase {
    const char* zip;
    const char* dest;
    const char* quoted_zip;
    const char* quoted_dest;
};

TEST(ExtractCommand, PlacesBothPathsWithQuotesDoubled) {
    const CommandCase cases[] = {
        {"C:\\Games\\velda\\velda-2.0.0.zip", "C:\\Games\\velda",
         "C:\\Games\\velda\\velda-2.0.0.zip", "C:\\Games\\velda"},
        {"C:\\Program Files\\V\\velda\\p.zip", "C:\\Program Files\\V\\velda",
         "C:\\Program Files\\V\\velda\\p.zip", "C:\\Program Files\\V\\velda"},
        {"C:\\Users\\O'Brien\\Velda\\velda\\p.zip", "C:\\Users\\O'Brien\\Velda\\velda",
         "C:\\Users\\O''Brien\\Velda\\velda\\p.zip", "C:\\Users\\O''Brien\\Velda\\velda"},
        {"C:\\a''b'\\p.zip", "'C:\\d'", "C:\\a''''b''\\p.zip", "''C:\\d''"},
        {"C:\\100%s\\%d.zip", "C:\\100%s", "C:\\100%s\\%d.zip", "C:\\100%s"},
        {"", "", "", ""},
    };
    for (ExtractFailureMode mode : kBothModes) {
        for (const CommandCase& c : cases) {
            EXPECT_EQ(command_for(c.zip, c.dest, mode),
                      expected_command(c.quoted_zip, c.quoted_dest, mode))
                << c.zip;
        }
    }
}

TEST(ExtractCommand, LongestPathsFitAndTheBufferBounds) {
    const std::string quotes(259, '\'');
    EXPECT_EQ(command_for(quotes.c_str(), quotes.c_str()),
              expected_command(std::string(518, '\''), std::string(518, '\'')));

    const std::string expected = expected_command("C:\\p.zip", "C:\\d");
    char exact[1024];
    EXPECT_TRUE(format_extract_command("C:\\p.zip", "C:\\d", exact, expected.size() + 1));
    EXPECT_EQ(std::string(exact), expected);
    char small[1024];
    std::memset(small, 'x', sizeof(small));
    EXPECT_FALSE(format_extract_command("C:\\p.zip", "C:\\d", small, expected.size()));
    EXPECT_EQ(small[0], '\0');
}

}  // namespace
