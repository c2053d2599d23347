#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "delta/delta_file.h"
#include "delta_memory.h"
#include "test_support.h"

using namespace velda;

namespace {

using Bytes = std::vector<uint8_t>;

std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// 300,000 bytes that differ along the file, so that a read at the wrong place shows.
Bytes numbered_base() {
    Bytes base(300000);
    for (size_t i = 0; i < base.size(); ++i) {
        base[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    return base;
}

// Short runs near each other (through the file's read window), one long run beyond it, a seek
// back to the start.
TEST(DeltaFile, AppliesAPatchFileToABaseFile) {
    TempFolder folder;
    Bytes base = numbered_base();
    // add 1000 (all kept), seek +200000 to 201000; add 99000 (all kept), insert "xyz", seek
    // back 299990 to 10; add 20 (+1 on the first byte).
    Bytes stream;
    auto varint = [&stream](uint64_t value) {
        while (value >= 0x80) {
            stream.push_back(static_cast<uint8_t>(value | 0x80));
            value >>= 7;
        }
        stream.push_back(static_cast<uint8_t>(value));
    };
    for (uint64_t value : {1000u, 0u, 200000u << 1, 1000u, 99000u, 3u, 299990u << 1 | 1, 99000u}) {
        varint(value);
    }
    stream.insert(stream.end(), {'x', 'y', 'z'});
    for (uint64_t value : {20u, 0u, 0u, 0u, 1u, 19u}) {
        varint(value);  // the 1 is the difference byte, which a varint below 128 writes alike
    }
    Bytes expected(base.begin(), base.begin() + 1000);
    expected.insert(expected.end(), base.begin() + 201000, base.begin() + 300000);
    expected.insert(expected.end(), {'x', 'y', 'z'});
    expected.insert(expected.end(), base.begin() + 10, base.begin() + 30);
    expected[1000 + 99000 + 3] = static_cast<uint8_t>(expected[1000 + 99000 + 3] + 1);

    std::string patch =
        folder.write("p.patch", text_of(delta_crafted(base.size(), expected.size(), stream)));
    std::string base_path = folder.write("base.bin", text_of(base));
    std::string result_path = folder.write("new.bin", "an older file that is longer than nothing");
    ASSERT_EQ(apply_delta_patch_file(patch.c_str(), base_path.c_str(), result_path.c_str(),
                                     expected.size()),
              DeltaResult::Applied);
    EXPECT_EQ(folder.read("new.bin"), text_of(expected));
}

TEST(DeltaFile, NamesTheFileThatDoesNotOpen) {
    TempFolder folder;
    Bytes base = numbered_base();
    std::string base_path = folder.write("base.bin", text_of(base));
    std::string patch = folder.write(
        "p.patch", text_of(delta_crafted(base.size(), 4, {0, 4, 0, 'a', 'b', 'c', 'd'})));
    std::string missing = folder.file("missing.bin");
    std::string unwritable = folder.file("no-folder\\new.bin");
    EXPECT_EQ(
        apply_delta_patch_file(missing.c_str(), base_path.c_str(), folder.file("a.bin").c_str(), 4),
        DeltaResult::PatchReadFailed);
    EXPECT_EQ(
        apply_delta_patch_file(patch.c_str(), missing.c_str(), folder.file("b.bin").c_str(), 4),
        DeltaResult::BaseReadFailed);
    EXPECT_EQ(apply_delta_patch_file(patch.c_str(), base_path.c_str(), unwritable.c_str(), 4),
              DeltaResult::OutputFailed);
    EXPECT_EQ(
        apply_delta_patch_file(patch.c_str(), base_path.c_str(), folder.file("c.bin").c_str(), 4),
        DeltaResult::Applied);
    EXPECT_EQ(folder.read("c.bin"), "abcd");
}

}  // namespace
