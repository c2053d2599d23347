#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "common/hex.h"
#include "delta_maker.h"
#include "install/patch_index.h"
#include "release_patches.h"

using namespace velda;

namespace {

std::string hex_of(const uint8_t digest[kSha256Size]) {
    char text[kSha256HexSize];
    bytes_to_hex(digest, kSha256Size, text);
    return text;
}

TEST(ReleasePatches, TheIndexPackWritesReadsBackInTheLauncher) {
    std::vector<PatchRecord> records = {
        {"data/level 1.map", std::string(64, 'a'), 120, std::string(64, 'b'), std::string(64, 'c'),
         4096},
        {"Velda.exe", std::string(64, 'd'), 9, std::string(64, 'e'), std::string(64, 'f'), 0},
    };
    std::string text = format_patch_index(records);
    PatchIndex index;
    ASSERT_TRUE(index.parse(text.data(), text.size())) << index.error();
    ASSERT_EQ(index.size(), records.size());
    for (const PatchRecord& record : records) {
        const PatchEntry* entry = index.find(record.path);
        ASSERT_NE(entry, nullptr) << record.path;
        EXPECT_EQ(hex_of(entry->patch_sha256), record.patch_sha256);
        EXPECT_EQ(entry->patch_size, record.patch_size);
        EXPECT_EQ(hex_of(entry->base_sha256), record.base_sha256);
        EXPECT_EQ(hex_of(entry->result_sha256), record.result_sha256);
        EXPECT_EQ(entry->result_size, record.result_size);
    }
}

TEST(ReleasePatches, OnlyAPatchWellUnderItsFileIsWorthSending) {
    struct Case {
        uint64_t patch;
        uint64_t file;
        bool worth;
    };
    const Case cases[] = {
        {59, 100, true},
        {60, 100, false},
        {0, 100, false},
        {1, 1, false},
        {1, 2, true},
        {1, 0, false},
        {uint64_t{1} << 52, uint64_t{1} << 53, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(patch_worth_sending(c.patch, c.file), c.worth) << c.patch << " of " << c.file;
    }
}

TEST(ReleasePatches, APatchRebuildsItsFileInMemoryAndACutOneDoesNot) {
    std::mt19937 random(5);
    std::vector<uint8_t> base(200000);
    for (uint8_t& byte : base) {
        byte = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> result(base.begin(), base.begin() + 150000);
    result.insert(result.end(), {'n', 'e', 'w'});
    result.insert(result.end(), base.begin() + 150010, base.end());
    std::vector<uint8_t> patch = make_delta_patch(base, result);
    ASSERT_TRUE(patch_worth_sending(patch.size(), result.size())) << patch.size();
    std::string rebuilt;
    std::string why;
    ASSERT_TRUE(apply_patch_in_memory(patch, base, result.size(), &rebuilt, &why)) << why;
    EXPECT_EQ(rebuilt, std::string(result.begin(), result.end()));

    EXPECT_FALSE(apply_patch_in_memory(std::span(patch).first(patch.size() / 2), base,
                                       result.size(), &rebuilt, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(apply_patch_in_memory(patch, base, result.size() + 1, &rebuilt, &why));
}

}  // namespace
