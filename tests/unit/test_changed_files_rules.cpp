#include "install/changed_files_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace velda;

namespace {

struct LineCase {
    std::string line;
    ChangedFileAction action;
    std::string path_text;
};

const char* name_of(ChangedFileAction action) {
    switch (action) {
        case ChangedFileAction::Skip:
            return "Skip";
        case ChangedFileAction::Delete:
            return "Delete";
        case ChangedFileAction::Download:
            return "Download";
        case ChangedFileAction::Refuse:
            return "Refuse";
    }
    return "?";
}

void expect_lines(const LineCase* begin, const LineCase* end) {
    for (const LineCase* c = begin; c != end; ++c) {
        char line[kChangedFilesLineSize];
        std::memset(line, 0, sizeof(line));
        std::memcpy(line, c->line.data(), c->line.size());
        ChangedFileEntry entry = classify_changed_file_line(line);
        EXPECT_STREQ(name_of(entry.action), name_of(c->action)) << "line: " << c->line;
        if (c->action == ChangedFileAction::Delete || c->action == ChangedFileAction::Download) {
            EXPECT_EQ(std::string(entry.path_text), c->path_text) << "line: " << c->line;
            EXPECT_GE(entry.path_text, line);
            EXPECT_LT(entry.path_text, line + sizeof(line));
        }
    }
}

TEST(ChangedFileLine, SkipsWhatTrimsToNothing) {
    const LineCase cases[] = {
        {"", ChangedFileAction::Skip, ""},
        {"\n", ChangedFileAction::Skip, ""},
        {"\r\n", ChangedFileAction::Skip, ""},
        {" \t \r\n", ChangedFileAction::Skip, ""},
        {"\xEF\xBB\xBF\r\n", ChangedFileAction::Skip, ""},
    };
    expect_lines(std::begin(cases), std::end(cases));
}

TEST(ChangedFileLine, DownloadsTheTrimmedLineAsWritten) {
    const LineCase cases[] = {
        {"Velda.exe\n", ChangedFileAction::Download, "Velda.exe"},
        {"  data/maps/level 1.bin \r\n", ChangedFileAction::Download, "data/maps/level 1.bin"},
        {"\xEF\xBB\xBF"
         "data\\a.txt\r\n",
         ChangedFileAction::Download, "data\\a.txt"},
        {"\tdata/a-b.txt", ChangedFileAction::Download, "data/a-b.txt"},
        {"a.\v\n", ChangedFileAction::Download, "a.\v"},
        {"#not-a-comment", ChangedFileAction::Download, "#not-a-comment"},
        {"'quoted'", ChangedFileAction::Download, "'quoted'"},
        {"a/./b.txt", ChangedFileAction::Download, "a/./b.txt"},
        {"datos/ñ.txt", ChangedFileAction::Download, "datos/ñ.txt"},
    };
    expect_lines(std::begin(cases), std::end(cases));
}

TEST(ChangedFileLine, DeletesThePathAfterTheDashAndBlanks) {
    const LineCase cases[] = {
        {"-old.dll\n", ChangedFileAction::Delete, "old.dll"},
        {"- \t data/old file.pak\r\n", ChangedFileAction::Delete, "data/old file.pak"},
        {"  -\tplugins\\x.dll  ", ChangedFileAction::Delete, "plugins\\x.dll"},
        {"--x", ChangedFileAction::Delete, "-x"},
        {"-", ChangedFileAction::Refuse, ""},
        {"-\r\n", ChangedFileAction::Refuse, ""},
        {" - \t \r\n", ChangedFileAction::Refuse, ""},
        {"-\v", ChangedFileAction::Delete, "\v"},
    };
    expect_lines(std::begin(cases), std::end(cases));
}

TEST(ChangedFileLine, RefusesPathsOutsideTheInstallFolder) {
    const LineCase cases[] = {
        {"../Velda.exe", ChangedFileAction::Refuse, ""},
        {"data/../../x", ChangedFileAction::Refuse, ""},
        {"data\\..\\x", ChangedFileAction::Refuse, ""},
        {"name..txt", ChangedFileAction::Refuse, ""},
        {"..", ChangedFileAction::Refuse, ""},
        {"C:\\Windows\\x.dll", ChangedFileAction::Refuse, ""},
        {"data/a:stream", ChangedFileAction::Refuse, ""},
        {"/etc/x", ChangedFileAction::Refuse, ""},
        {"\\Windows\\x", ChangedFileAction::Refuse, ""},
        {"\\\\server\\share\\x", ChangedFileAction::Refuse, ""},
        {"- ../x", ChangedFileAction::Refuse, ""},
        {"-C:x", ChangedFileAction::Refuse, ""},
        {"- /x", ChangedFileAction::Refuse, ""},
        {"-\t\\x", ChangedFileAction::Refuse, ""},
        {"-a..b", ChangedFileAction::Refuse, ""},
    };
    expect_lines(std::begin(cases), std::end(cases));
}

TEST(ChangedFileLine, KeepsTheRestOfALongLineForTheNextRead) {
    // fgets hands over at most 2047 bytes; the rest arrives as the next line.
    char line[kChangedFilesLineSize];
    std::memset(line, 'a', sizeof(line) - 1);
    line[sizeof(line) - 1] = '\0';
    ChangedFileEntry entry = classify_changed_file_line(line);
    EXPECT_EQ(entry.action, ChangedFileAction::Download);
    EXPECT_EQ(std::strlen(entry.path_text), 2047u);
}

struct TextCase {
    std::string in;
    std::string out;
};

TEST(ChangedFileRelativePath, TurnsSlashesIntoBackslashesWithin259Bytes) {
    const TextCase cases[] = {
        {"Velda.exe", "Velda.exe"},
        {"data/maps/a b.bin", "data\\maps\\a b.bin"},
        {"data\\maps/x", "data\\maps\\x"},
        {"a//b/", "a\\\\b\\"},
        {std::string(300, 'n'), std::string(259, 'n')},
        {std::string(258, 'n') + "/x", std::string(258, 'n') + "\\"},
    };
    for (const TextCase& c : cases) {
        char out[kPathSize];
        std::memset(out, 'x', sizeof(out));
        changed_file_relative_path(c.in.c_str(), out);
        EXPECT_EQ(std::string(out), c.out) << c.in;
        EXPECT_EQ(out[kPathSize - 1], '\0');
    }
}

struct JoinCase {
    std::string base;
    std::string path;
    std::string url;
};

TEST(JoinChangedFileUrl, PutsExactlyOneSlashAndKeepsThePathAsWritten) {
    const JoinCase cases[] = {
        {"https://h/files/2.0.0", "Velda.exe", "https://h/files/2.0.0/Velda.exe"},
        {"https://h/files/2.0.0/", "Velda.exe", "https://h/files/2.0.0/Velda.exe"},
        {"https://h/files", "data/a b.bin", "https://h/files/data/a b.bin"},
        {"https://h/files", "data\\maps\\x.bin", "https://h/files/data\\maps\\x.bin"},
        {"https://h/files//", "x", "https://h/files//x"},
        {"https://h/f?k=v", "x", "https://h/f?k=v/x"},
        {"https://h/files", "datos/ñ.txt", "https://h/files/datos/ñ.txt"},
        {std::string(4090, 'u'), "abcdef", std::string(4090, 'u') + "/abcd"},
        {std::string(4095, 'u') + "/", "abc", std::string(4095, 'u')},
    };
    for (const JoinCase& c : cases) {
        char out[kChangedFilesUrlSize];
        std::memset(out, 'x', sizeof(out));
        join_changed_file_url(c.base.c_str(), c.path.c_str(), out);
        EXPECT_EQ(std::string(out), c.url) << c.base.substr(0, 40) << " + " << c.path;
    }
}

struct ParentCase {
    std::string target;
    bool has_parent;
    std::string parent;
};

TEST(ChangedFileParentPath, CutsAtTheLastBackslashElseTheLastSlash) {
    const ParentCase cases[] = {
        {"C:\\G\\velda\\data\\maps\\a.bin", true, "C:\\G\\velda\\data\\maps"},
        {"C:\\G\\velda\\Velda.exe", true, "C:\\G\\velda"},
        {"C:\\G\\velda/data/a.bin", true, "C:\\G"},
        {"velda/data/a.bin", true, "velda/data"},
        {"a.bin", false, ""},
        {"\\a.bin", false, ""},
        {"/a.bin", false, ""},
        {"C:\\a.bin", true, "C:"},
        {"", false, ""},
        {std::string(250, 'p') + "\\" + std::string(20, 'f'), true, std::string(250, 'p')},
        // Only the first 259 bytes are looked at.
        {std::string(254, 'p') + "\\abc\\" + std::string(20, 'f'), true,
         std::string(254, 'p') + "\\abc"},
        {std::string(255, 'p') + "\\abc\\" + std::string(20, 'f'), true, std::string(255, 'p')},
        {std::string(258, 'p') + "\\abc\\" + std::string(20, 'f'), true, std::string(258, 'p')},
    };
    for (const ParentCase& c : cases) {
        char out[kPathSize];
        std::memset(out, 'x', sizeof(out));
        EXPECT_EQ(changed_file_parent_path(c.target.c_str(), out), c.has_parent) << c.target;
        if (c.has_parent) {
            EXPECT_EQ(std::string(out), c.parent) << c.target;
        }
    }
}

}  // namespace

namespace {

// The release tool words its warnings after the reason, so each refused line must give its own.
TEST(ChangedFileLine, NamesTheFirstReasonForARefusal) {
    const struct {
        const char* line;
        ChangedFileRefusal refusal;
    } cases[] = {
        {"data/a.bin", ChangedFileRefusal::None},
        {"-", ChangedFileRefusal::DeletionWithoutPath},
        {" - \t\r\n", ChangedFileRefusal::DeletionWithoutPath},
        {"/etc/x", ChangedFileRefusal::LeadingSeparator},
        {"-\\..\\x", ChangedFileRefusal::LeadingSeparator},
        {"a/../b", ChangedFileRefusal::ParentReference},
        {"-c:..", ChangedFileRefusal::ParentReference},
        {"C:x", ChangedFileRefusal::Colon},
    };
    for (const auto& c : cases) {
        char line[kChangedFilesLineSize] = {};
        std::memcpy(line, c.line, std::strlen(c.line));
        ChangedFileEntry entry = classify_changed_file_line(line);
        EXPECT_EQ(entry.refusal, c.refusal) << c.line;
        EXPECT_EQ(entry.action == ChangedFileAction::Refuse, c.refusal != ChangedFileRefusal::None)
            << c.line;
    }
}

}  // namespace
