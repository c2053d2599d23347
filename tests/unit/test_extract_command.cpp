#include "install/extract_command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace velda;

namespace {

// The launcher's form reads both paths from its environment.
const std::string kPathsFromEnvironment =
    "$zip=$env:VELDA_EXTRACT_ZIP;$dest=$env:VELDA_EXTRACT_DEST;";

// The script as PowerShell must receive it, after the assignments of the two paths.
std::string expected_script(const std::string& assignments) {
    return assignments +
           "Add-Type -AssemblyName System.IO.Compression.FileSystem;$archive=[System.IO."
           "Compression.ZipFile]::OpenRead($zip);$total=[Math]::Max($archive.Entries.Count,1);$i="
           "0;foreach($entry in $archive.Entries){$target=Join-Path $dest $entry.FullName;if(["
           "string]::IsNullOrEmpty($entry.Name)){New-Item -ItemType Directory -Path $target "
           "-Force | Out-Null;}else{$dir=Split-Path $target -Parent;if($dir){New-Item -ItemType "
           "Directory -Path $dir -Force | Out-Null;};[System.IO.Compression.ZipFileExtensions]::"
           "ExtractToFile($entry,$target,$true);};$i++;Write-Output ('PROGRESS:{0}:{1}' -f $i,"
           "$total);}if($i -eq 0){Write-Output 'PROGRESS:1:1'};$archive.Dispose();";
}

std::string expected_command(const std::string& assignments, ExtractFailureMode mode) {
    std::string script = expected_script(assignments);
    if (mode == ExtractFailureMode::FirstErrorEnds) {
        script = "$ErrorActionPreference='Stop';try{" + script +
                 "}catch{[Console]::Error.WriteLine($_.Exception.Message);exit 1}";
    }
    return "powershell -NoLogo -NoProfile -ExecutionPolicy Bypass -Command \"" + script + "\"";
}

// The script as it stands, with the two paths already quoted.
std::string expected_command(const std::string& zip, const std::string& dest,
                             ExtractFailureMode mode = ExtractFailureMode::LastStatementDecides) {
    return expected_command("$zip='" + zip + "';$dest='" + dest + "';", mode);
}

std::string command_for(const char* zip, const char* dest) {
    char out[kExtractCommandSize];
    std::memset(out, 'x', sizeof(out));
    EXPECT_TRUE(format_extract_command(zip, dest, out, sizeof(out)));
    return out;
}

TEST(ExtractCommand, TemplatesAreTheFixedScriptAndItsGuardedForm) {
    EXPECT_EQ(std::string(kExtractCommandTemplate),
              expected_command("%s", "%s", ExtractFailureMode::LastStatementDecides));
    EXPECT_EQ(std::strlen(kExtractCommandTemplate), 729u);
    const std::string launcher_command =
        expected_command(kPathsFromEnvironment, ExtractFailureMode::FirstErrorEnds);
    EXPECT_EQ(std::string(kFirstErrorEndsExtractCommand), launcher_command);
    EXPECT_EQ(std::string(extract_command_text(ExtractFailureMode::FirstErrorEnds)),
              launcher_command);
    EXPECT_EQ(std::string(extract_command_text(ExtractFailureMode::LastStatementDecides)),
              std::string(kExtractCommandTemplate));
    // Nothing is formatted into the launcher's command, and it names no path of its own.
    EXPECT_EQ(launcher_command.find('%'), std::string::npos);
}

TEST(ExtractCommand, LauncherCommandIsCopiedWholeOrNotAtAll) {
    const std::string expected = kFirstErrorEndsExtractCommand;
    char out[kExtractCommandSize];
    std::memset(out, 'x', sizeof(out));
    ASSERT_TRUE(copy_extract_command(out, sizeof(out)));
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(out[sizeof(out) - 1], '\0');  // zero-filled past the command

    char exact[1024];
    EXPECT_TRUE(copy_extract_command(exact, expected.size() + 1));
    EXPECT_EQ(std::string(exact), expected);
    char small[1024];
    std::memset(small, 'x', sizeof(small));
    EXPECT_FALSE(copy_extract_command(small, expected.size()));
    EXPECT_EQ(small[0], '\0');
}

TEST(ExtractCommand, FiveQuoteCharactersOpenAndCloseAString) {
    struct QuoteCase {
        const char* text;
        bool quote;
        size_t length;
    };
    const QuoteCase cases[] = {
        {"'", true, 1},
        {"\u2018", true, 3},
        {"\u2019", true, 3},
        {"\u201A", true, 3},
        {"\u201B", true, 3},
        {"\u2017", false, 0},  // the characters on either side are not quotes
        {"\u201C", false, 0},
        {"\"", false, 0},
        {"`", false, 0},
        {"\xE2\x80", false, 0},  // a cut sequence is read no further than its end
        {"", false, 0},
    };
    for (const QuoteCase& c : cases) {
        size_t length = 0;
        EXPECT_EQ(is_powershell_single_quote(c.text, &length), c.quote) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
}

struct CommandCase {
    const char* zip;
    const char* dest;
    const char* quoted_zip;
    const char* quoted_dest;
};

TEST(ExtractCommand, ScriptAsItStandsPlacesBothPathsWithQuotesDoubled) {
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
        // PowerShell ends the string at each of the four typographic quotes as well.
        {"C:\\a\u2018b\u2019c\\p.zip", "C:\\d\u201A\u201B",
         "C:\\a\u2018\u2018b\u2019\u2019c\\p.zip", "C:\\d\u201A\u201A\u201B\u201B"},
        {"C:\\$(calc)`;\\p.zip", "C:\\$(calc)`;", "C:\\$(calc)`;\\p.zip", "C:\\$(calc)`;"},
    };
    for (const CommandCase& c : cases) {
        EXPECT_EQ(command_for(c.zip, c.dest), expected_command(c.quoted_zip, c.quoted_dest))
            << c.zip;
    }
}

TEST(ExtractCommand, LongestPathsFitAndTheBufferBounds) {
    const std::string quotes(259, '\'');
    EXPECT_EQ(command_for(quotes.c_str(), quotes.c_str()),
              expected_command(std::string(518, '\''), std::string(518, '\'')));
    std::string typographic;
    for (int i = 0; i < 86; ++i) {
        typographic += "\u2019";  // 258 bytes, each quote doubled
    }
    std::string doubled;
    for (int i = 0; i < 172; ++i) {
        doubled += "\u2019";
    }
    EXPECT_EQ(command_for(typographic.c_str(), typographic.c_str()),
              expected_command(doubled, doubled));

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
