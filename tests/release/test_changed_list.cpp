#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "changed_list.h"

using namespace velda;

namespace {

std::vector<TreeEntry> tree(std::initializer_list<const char*> paths) {
    std::vector<TreeEntry> out;
    for (const char* path : paths) {
        std::string p = path;
        bool directory = !p.empty() && p.back() == '/';
        out.push_back({directory ? p.substr(0, p.size() - 1) : p, directory});
    }
    return out;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

struct DiffCase {
    const char* name;
    std::vector<TreeEntry> old_tree;
    std::vector<TreeEntry> new_tree;
    std::set<std::string> changed;  // files whose bytes differ
    std::string list;
    const char* problem_part;  // null when the diff must succeed
};

TEST(TreeDiff, ListsAddedChangedAndRemovedFilesInAFixedOrder) {
    const DiffCase cases[] = {
        {"nothing changed",
         tree({"Velda.exe", "a.txt"}),
         tree({"Velda.exe", "a.txt"}),
         {},
         "",
         nullptr},
        {"added, changed, removed",
         tree({"Velda.exe", "data/", "data/old.bin", "data/same.txt", "gone.txt"}),
         tree({"Velda.exe", "data/", "data/same.txt", "data/new file.txt", "z.txt"}),
         {"Velda.exe"},
         "-data/old.bin\n-gone.txt\ndata/new file.txt\nz.txt\nVelda.exe\n",
         nullptr},
        {"Velda.exe goes last, nested exe does not",
         tree({"Velda.exe", "bin/Velda.exe"}),
         tree({"Velda.exe", "bin/Velda.exe", "zz.txt"}),
         {"Velda.exe", "bin/Velda.exe"},
         "bin/Velda.exe\nzz.txt\nVelda.exe\n",
         nullptr},
        {"new nested folders",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "a/", "a/b/", "a/b/c/", "a/b/c/d.txt"}),
         {},
         "a/b/c/d.txt\n",
         nullptr},
        {"removed folder: its files are deleted",
         tree({"Velda.exe", "old/", "old/x", "old/y/", "old/y/z"}),
         tree({"Velda.exe"}),
         {},
         "-old/x\n-old/y/z\n",
         nullptr},
        {"file becomes a folder",
         tree({"Velda.exe", "data"}),
         tree({"Velda.exe", "data/", "data/a.txt"}),
         {},
         "-data\ndata/a.txt\n",
         nullptr},
        {"folder becomes a file",
         tree({"Velda.exe", "data/", "data/a.txt"}),
         tree({"Velda.exe", "data"}),
         {},
         "",
         "was a folder and is now a file"},
        {"a file named like a deletion",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "-x.txt"}),
         {},
         "",
         "reads as a deletion"},
        {"leading blank",
         tree({"Velda.exe"}),
         tree({"Velda.exe", " x.txt"}),
         {},
         "",
         "read back differently"},
        {"two dots inside a name",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "a..b.txt"}),
         {},
         "",
         "refused by the launcher"},
        {"removed file with two dots",
         tree({"Velda.exe", "a..b"}),
         tree({"Velda.exe"}),
         {},
         "",
         "refused by the launcher"},
        {"non-ASCII name",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "caf\xC3\xA9.txt"}),
         {},
         "",
         "non-ASCII"},
        {"percent in a name",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "100%.txt"}),
         {},
         "",
         "\"#\" or \"%\""},
        {"hash in a name",
         tree({"Velda.exe"}),
         tree({"Velda.exe", "a#b.txt"}),
         {},
         "",
         "\"#\" or \"%\""},
        {"path over 259 bytes",
         tree({"Velda.exe"}),
         tree({"Velda.exe", (std::string(200, 'a') + "/" + std::string(60, 'b')).c_str()}),
         {},
         "",
         "259-byte path"},
    };
    for (const DiffCase& c : cases) {
        ChangedFilesPlan plan;
        std::vector<std::string> problems;
        bool ok = diff_trees(
            c.old_tree, c.new_tree,
            [&](const std::string& path) { return c.changed.count(path) == 0; }, &plan, &problems);
        if (c.problem_part == nullptr) {
            EXPECT_TRUE(ok) << c.name << ": " << joined(problems);
            EXPECT_EQ(format_changed_files_list(plan), c.list) << c.name;
        } else {
            EXPECT_FALSE(ok) << c.name;
            EXPECT_NE(joined(problems).find(c.problem_part), std::string::npos)
                << c.name << ": " << joined(problems);
        }
    }
}

TEST(TreeDiff, NotesWhatChangedFilesCannotCarry) {
    ChangedFilesPlan plan;
    std::vector<std::string> problems;
    ASSERT_TRUE(diff_trees(
        tree({"Velda.exe", "old/", "old/x"}), tree({"Velda.exe", "empty/"}),
        [](const std::string&) { return true; }, &plan, &problems));
    std::string notes = joined(plan.notes);
    EXPECT_NE(notes.find("empty folder \"empty\""), std::string::npos) << notes;
    EXPECT_NE(notes.find("folder \"old\" stays"), std::string::npos) << notes;
}

TEST(TreeDiff, ContentIsAskedOnlyForFilesInBothTrees) {
    std::set<std::string> asked;
    ChangedFilesPlan plan;
    std::vector<std::string> problems;
    EXPECT_TRUE(diff_trees(
        tree({"Velda.exe", "gone", "d/"}), tree({"Velda.exe", "new", "d/"}),
        [&](const std::string& path) {
            asked.insert(path);
            return true;
        },
        &plan, &problems));
    EXPECT_EQ(asked, std::set<std::string>{"Velda.exe"});
}

struct PathCase {
    const char* name;
    std::vector<TreeEntry> tree;
    const char* problem_part;
};

TEST(TreePaths, ProductPathsMustSuitWindowsAndTheLauncher) {
    const PathCase cases[] = {
        {"plain", tree({"Velda.exe", "data/", "data/with space.txt", "caf\xC3\xA9.txt"}), nullptr},
        {"case collision", tree({"Velda.exe", "Data/", "data/"}), "differ only in case"},
        {"file case collision", tree({"Velda.exe", "a/X.txt", "a/x.txt"}), "differ only in case"},
        {"colon", tree({"Velda.exe", "a:b"}), "refuses in a name"},
        {"backslash", tree({"Velda.exe", "a\\b"}), "refuses in a name"},
        {"trailing dot", tree({"Velda.exe", "notes."}), "ends with a dot"},
        {"trailing space in a folder", tree({"Velda.exe", "dir /x"}), "ends with a dot or a space"},
        {"device name", tree({"Velda.exe", "sub/aux.txt"}), "device name"},
        {"COM port", tree({"Velda.exe", "COM1"}), "device name"},
        {"not a device", tree({"Velda.exe", "COM10", "console.txt"}), nullptr},
        {"two dots", tree({"Velda.exe", "x..y"}), "contains \"..\""},
        {"long path", tree({"Velda.exe", std::string(260, 'a').c_str()}), "longer than 259"},
    };
    for (const PathCase& c : cases) {
        std::vector<std::string> problems;
        bool ok = tree_paths_usable(c.tree, &problems);
        EXPECT_EQ(ok, c.problem_part == nullptr) << c.name << ": " << joined(problems);
        if (c.problem_part != nullptr) {
            EXPECT_NE(joined(problems).find(c.problem_part), std::string::npos)
                << c.name << ": " << joined(problems);
        }
    }
}

struct ListCase {
    const char* name;
    std::string text;
    size_t entries;
    size_t refused;
    std::vector<const char*> trap_parts;
};

TEST(ChangedFilesListAnalysis, ReadsTheListAsTheLauncherDoes) {
    const ListCase cases[] = {
        {"written by pack", "-old.txt\na/b.txt\nVelda.exe\n", 3, 0, {}},
        {"blank lines, CR LF and a BOM",
         "\xEF\xBB\xBF"
         "a.txt\r\n\r\n   \n- \tb.txt\r\n",
         2,
         0,
         {}},
        {"no final line feed", "a.txt", 1, 0, {}},
        {"empty", "", 0, 0, {}},
        {"lone dash", "a.txt\n-\n", 1, 1, {"line 2 \"-\" is refused"}},
        {"dash and blanks", "a.txt\n- \t\n", 1, 1, {"line 2"}},
        {"dot dot", "ok\nx/../../evil\n", 1, 1, {"line 2 \"x/../../evil\"", "\"..\""}},
        {"drive", "C:\\Windows\\x.dll\n", 0, 1, {"line 1", "colon"}},
        {"leading separator", "\n\n/etc/x\n\\y\n", 0, 2, {"line 3", "line 4", "separator"}},
        {"deletion with dots", "-..\\x\n", 0, 1, {"line 1"}},
        {"long line",
         std::string(3000, 'a') + "\nb\n",
         3,
         0,
         {"line 1 is longer than 2047", "longer than 259"}},
        {"NUL byte", std::string("a\0b\nc\n", 6), 2, 0, {"line 1 holds a NUL"}},
    };
    for (const ListCase& c : cases) {
        ListAnalysis analysis = analyze_changed_files_list(c.text);
        EXPECT_EQ(analysis.entries.size(), c.entries) << c.name;
        EXPECT_EQ(analysis.refused_lines, c.refused) << c.name;
        std::string all = joined(analysis.traps);
        for (const char* part : c.trap_parts) {
            EXPECT_NE(all.find(part), std::string::npos) << c.name << ": " << all;
        }
        if (c.trap_parts.empty()) {
            EXPECT_TRUE(analysis.traps.empty()) << c.name << ": " << all;
        }
    }
}

TEST(ChangedFilesListAnalysis, EntriesKeepLineNumbersActionsAndPaths) {
    ListAnalysis analysis = analyze_changed_files_list("-old dir/x.txt\n\nnew file.txt\r\n");
    ASSERT_EQ(analysis.entries.size(), 2u);
    EXPECT_EQ(analysis.entries[0].line_number, 1u);
    EXPECT_EQ(analysis.entries[0].action, ChangedFileAction::Delete);
    EXPECT_EQ(analysis.entries[0].path_text, "old dir/x.txt");
    EXPECT_EQ(analysis.entries[1].line_number, 3u);
    EXPECT_EQ(analysis.entries[1].action, ChangedFileAction::Download);
    EXPECT_EQ(analysis.entries[1].path_text, "new file.txt");
}

TEST(ChangedFilesListAnalysis, APackedListReadsBackEntryForEntry) {
    ChangedFilesPlan plan;
    std::vector<std::string> problems;
    ASSERT_TRUE(diff_trees(
        tree({"Velda.exe", "a/", "a/old", "keep"}),
        tree({"Velda.exe", "a/", "a/new one", "keep", "b/", "b/c"}),
        [](const std::string& path) { return path != "Velda.exe"; }, &plan, &problems));
    ListAnalysis analysis = analyze_changed_files_list(format_changed_files_list(plan));
    EXPECT_TRUE(analysis.traps.empty());
    std::vector<std::string> read;
    for (const ListEntry& entry : analysis.entries) {
        read.push_back((entry.action == ChangedFileAction::Delete ? "-" : "") + entry.path_text);
    }
    EXPECT_EQ(read, (std::vector<std::string>{"-a/old", "a/new one", "b/c", "Velda.exe"}));
}

}  // namespace
