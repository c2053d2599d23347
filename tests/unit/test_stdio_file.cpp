#include "common/stdio_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "test_support.h"

using namespace velda;

namespace {

TEST(StdioFile, OwnsOneStreamUntilClosedOrMoved) {
    TempFolder folder;
    EXPECT_FALSE(open_file(folder.file("missing.txt").c_str(), "rb"));

    UniqueStdioFile file = open_file(folder.file("a.txt").c_str(), "wb");
    ASSERT_TRUE(file);
    ASSERT_GE(std::fputs("abc", file.get()), 0);
    UniqueStdioFile moved(std::move(file));
    EXPECT_FALSE(file);
    EXPECT_TRUE(file.close());  // nothing open
    // Closing flushes: the bytes are in the file, and the file can be removed at once.
    EXPECT_TRUE(moved.close());
    EXPECT_FALSE(moved);
    EXPECT_EQ(folder.read("a.txt"), "abc");
    EXPECT_TRUE(std::filesystem::remove(folder.file("a.txt")));
}

}  // namespace
