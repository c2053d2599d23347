#include "start/child_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velda;

namespace {

// Entries as a block: each ended by a NUL, the block by one more.
std::wstring block_of(const std::vector<std::wstring>& entries) {
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block.push_back(L'\0');
    }
    if (entries.empty()) {
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

const ChildVariable kPaths[] = {{L"VELDA_EXTRACT_ZIP", L"C:\\O'Brien\\p.zip"},
                                {L"VELDA_EXTRACT_DEST", L"C:\\a=b;$(x)\\new"}};

struct BlockCase {
    const char* what;
    std::vector<std::wstring> parent;
    std::vector<std::wstring> child;
};

TEST(ChildEnvironment, SetsEachVariableOnTopOfTheParentsInOrder) {
    const BlockCase cases[] = {
        {"empty parent",
         {},
         {L"VELDA_EXTRACT_DEST=C:\\a=b;$(x)\\new", L"VELDA_EXTRACT_ZIP=C:\\O'Brien\\p.zip"}},
        {"placed by a case-blind order, drive entries kept first",
         {L"=C:=C:\\work", L"APPDATA=C:\\u\\r", L"path=C:\\w", L"windir=C:\\windows"},
         {L"=C:=C:\\work", L"APPDATA=C:\\u\\r", L"path=C:\\w",
          L"VELDA_EXTRACT_DEST=C:\\a=b;$(x)\\new", L"VELDA_EXTRACT_ZIP=C:\\O'Brien\\p.zip",
          L"windir=C:\\windows"}},
        {"an inherited value of any case is replaced, wherever it stands",
         {L"velda_extract_zip=C:\\planted.zip", L"A=1", L"VELDA_EXTRACT_DEST=C:\\elsewhere",
          L"Z=2"},
         {L"A=1", L"VELDA_EXTRACT_DEST=C:\\a=b;$(x)\\new", L"VELDA_EXTRACT_ZIP=C:\\O'Brien\\p.zip",
          L"Z=2"}},
        {"a longer name is another variable",
         {L"VELDA_EXTRACT=2", L"VELDA_EXTRACT_ZIPPED=1"},
         {L"VELDA_EXTRACT=2", L"VELDA_EXTRACT_DEST=C:\\a=b;$(x)\\new",
          L"VELDA_EXTRACT_ZIP=C:\\O'Brien\\p.zip", L"VELDA_EXTRACT_ZIPPED=1"}},
    };
    for (const BlockCase& c : cases) {
        std::wstring parent = block_of(c.parent);
        EXPECT_EQ(environment_block_with(parent.c_str(), kPaths, 2), block_of(c.child)) << c.what;
    }
}

TEST(ChildEnvironment, WithoutVariablesTheBlockIsTheParents) {
    std::wstring parent = block_of({L"B=2", L"A=1"});  // kept as it came, even out of order
    EXPECT_EQ(environment_block_with(parent.c_str(), nullptr, 0), parent);
    EXPECT_EQ(environment_block_with(nullptr, nullptr, 0), block_of({}));
}

TEST(ChildEnvironment, ValuesTravelWhole) {
    // A path of 259 UTF-16 units with every quote character PowerShell knows.
    std::wstring path = L"C:\\";
    while (path.size() < 259) {
        path += L"'\u2018\u2019\u201A\u201B`;$";
    }
    path.resize(259);
    const ChildVariable variables[] = {{L"VELDA_EXTRACT_ZIP", path.c_str()}};
    EXPECT_EQ(environment_block_with(block_of({}).c_str(), variables, 1),
              block_of({L"VELDA_EXTRACT_ZIP=" + path}));
}

}  // namespace
