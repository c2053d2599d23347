#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "install/patch_index.h"

using namespace velda;

namespace {

const std::string kPatch(64, 'a');
const std::string kBase(64, 'B');
const std::string kNew(64, 'c');

std::string entry_line(const std::string& sizes_and_path) {
    return kPatch + " " + sizes_and_path.substr(0, sizes_and_path.find(' ')) + " " + kBase + " " +
           kNew + " " + sizes_and_path.substr(sizes_and_path.find(' ') + 1);
}

TEST(PatchIndex, ReadsEachLinesFieldsAndFindsByTheListsPath) {
    std::string text =
        entry_line("120 4096 data/level 1.map") + "\r\n" + entry_line("1 0 Velda.exe") + "\n";
    PatchIndex index;
    ASSERT_TRUE(index.parse(text.data(), text.size())) << index.error();
    ASSERT_EQ(index.size(), 2u);
    const PatchEntry* level = index.find("data/level 1.map");
    ASSERT_NE(level, nullptr);
    EXPECT_EQ(level->patch_size, 120u);
    EXPECT_EQ(level->result_size, 4096u);
    EXPECT_EQ(level->patch_sha256[0], 0xaa);
    EXPECT_EQ(level->base_sha256[31], 0xbb);
    EXPECT_EQ(level->result_sha256[5], 0xcc);
    EXPECT_EQ(level->line, 1u);
    const PatchEntry* exe = index.find("Velda.exe");
    ASSERT_NE(exe, nullptr);
    EXPECT_EQ(exe->result_size, 0u);
    // Paths are compared exactly, as the list writes them.
    EXPECT_EQ(index.find("velda.exe"), nullptr);
    EXPECT_EQ(index.find("data/level 1.ma"), nullptr);

    PatchIndex empty;
    EXPECT_TRUE(empty.parse("", 0));
    EXPECT_EQ(empty.find("Velda.exe"), nullptr);
}

TEST(PatchIndex, RefusesEveryMalformedLineAndNamesIt) {
    struct Case {
        const char* name;
        std::string text;
        size_t line;
    };
    const std::string good = entry_line("5 9 x") + "\n";
    const Case cases[] = {
        {"short patch digest", kPatch.substr(1) + " 5 " + kBase + " " + kNew + " 9 x", 1},
        {"patch digest not hex", "g" + kPatch.substr(1) + " 5 " + kBase + " " + kNew + " 9 x", 1},
        {"empty patch", entry_line("0 9 x"), 1},
        {"leading zero", entry_line("05 9 x"), 1},
        {"sign", entry_line("+5 9 x"), 1},
        {"past 2^53", entry_line("9007199254740993 9 x"), 1},
        {"two blanks", kPatch + "  5 " + kBase + " " + kNew + " 9 x", 1},
        {"tab", kPatch + "\t5 " + kBase + " " + kNew + " 9 x", 1},
        {"no path", good + entry_line("5 9 "), 2},
        {"fields missing", good + kPatch + " 5 " + kBase, 2},
        {"blank line", good + "\n" + good, 2},
        {"path given twice", good + entry_line("7 1 y") + "\n" + good, 3},
        {"NUL byte", good + std::string(1, '\0'), 0},
    };
    for (const Case& c : cases) {
        PatchIndex index;
        EXPECT_FALSE(index.parse(c.text.data(), c.text.size())) << c.name;
        EXPECT_EQ(index.size(), 0u) << c.name;
        EXPECT_EQ(index.error_line(), c.line) << c.name;
        EXPECT_STRNE(index.error(), "") << c.name;
    }
    PatchIndex largest;
    std::string text = entry_line("9007199254740992 9007199254740992 a b");
    ASSERT_TRUE(largest.parse(text.data(), text.size())) << largest.error();
    EXPECT_EQ(largest.find("a b")->patch_size, kPatchIndexMaxSize);
}

}  // namespace
