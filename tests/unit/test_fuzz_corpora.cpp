// Replays the kept fuzz corpora through the same target functions the fuzzers run, so that
// every input that once found new behaviour keeps its invariants, natively and under Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_targets.h"

namespace {

// Under Wine a Linux path is reached through drive Z:, which maps the Unix root.
std::filesystem::path corpus_root() {
    std::filesystem::path root(VELDA_FUZZ_CORPUS_DIR);
#ifdef _WIN32
    std::string text = root.string();
    std::error_code error;
    if (!text.empty() && text[0] == '/' && !std::filesystem::is_directory(root, error)) {
        for (char& c : text) {
            if (c == '/') {
                c = '\\';
            }
        }
        root = std::filesystem::path("Z:" + text);
    }
#endif
    return root;
}

std::vector<uint8_t> read_all(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

class FuzzCorpus : public testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpus, EveryKeptInputKeepsTheInvariants) {
    const FuzzTarget& target = GetParam();
    std::filesystem::path folder = corpus_root() / target.name;
    std::error_code error;
    ASSERT_TRUE(std::filesystem::is_directory(folder, error)) << folder.string();
    size_t replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
        if (!item.is_regular_file()) {
            continue;
        }
        std::vector<uint8_t> input = read_all(item.path());
        static const uint8_t kNothing = 0;  // libFuzzer never passes a null pointer either
        const uint8_t* data = input.empty() ? &kNothing : input.data();
        EXPECT_EQ(target.run(data, input.size()), 0) << item.path().string();
        ++replayed;
    }
    EXPECT_FALSE(error) << error.message();
    // An empty or unreadable folder must not pass for a clean replay.
    EXPECT_GE(replayed, 3u) << folder.string();
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, testing::ValuesIn(kFuzzTargets),
                         [](const testing::TestParamInfo<FuzzTarget>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
