#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "delta_maker.h"
#include "delta_memory.h"
#include "suffix_array.h"

using namespace velda;

namespace {

using Bytes = std::vector<uint8_t>;

// Text-like bytes with repeats, closer to a program's than noise would be.
Bytes program_like(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    static const char* kWords[] = {"mov ",  "call ",    "ret\n", "push rbp\n",
                                   "lea ",  "0x401000", "jmp ",  "\x00\x00\x00\x00",
                                   "velda", "\xff\x15"};
    Bytes out;
    while (out.size() < size) {
        const char* word = kWords[random() % 10];
        size_t length = word[0] == 0 ? 4 : std::char_traits<char>::length(word);
        out.insert(out.end(), word, word + length);
        out.push_back(static_cast<uint8_t>(random() % 7));
    }
    out.resize(size);
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes slice(const Bytes& bytes, size_t from, size_t length) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + length);
}

struct PairCase {
    const char* name;
    Bytes base;
    Bytes result;
    size_t patch_at_most;  // bytes; 0 for no bound
};

std::vector<PairCase> pair_cases() {
    Bytes a = program_like(40000, 1);
    Bytes b = program_like(9000, 2);
    Bytes shifted = a;
    for (size_t i = 100; i + 4 < shifted.size(); i += 97) {
        shifted[i] = static_cast<uint8_t>(shifted[i] + 16);  // moved addresses
    }
    Bytes replaced = a;
    std::mt19937 noise(5);
    for (size_t i = 20000; i < 23000; ++i) {
        replaced[i] = static_cast<uint8_t>(noise());  // new data where old data was
    }
    Bytes repeats;
    for (int i = 0; i < (1 << 19); ++i) {
        repeats.push_back('a');
        repeats.push_back('b');
    }
    Bytes shifted_repeats = joined({Bytes{'a'}, repeats, Bytes(4096, 'b')});
    return {
        {"same", a, a, 500},
        {"long repeats", repeats, shifted_repeats, 200},  // one match, not one per search
        {"replaced block", a, replaced, 3300},            // the 3000 new bytes and little more
        {"insertion", a, joined({slice(a, 0, 15000), b, slice(a, 15000, 25000)}), 8000},
        {"deletion", a, joined({slice(a, 0, 12000), slice(a, 20000, 20000)}), 500},
        {"moved blocks", a,
         joined({slice(a, 30000, 10000), slice(a, 0, 10000), slice(a, 10000, 20000)}), 500},
        {"shifted addresses", a, shifted, 2000},
        {"empty base", Bytes(), b, 0},
        {"empty result", a, Bytes(), 0},
        {"both empty", Bytes(), Bytes(), 0},
        {"unrelated", b, a, 0},
        {"one byte", Bytes{7}, Bytes{7, 7}, 0},
    };
}

TEST(DeltaMaker, PatchesTurnTheBaseIntoTheNewFile) {
    for (const PairCase& pair : pair_cases()) {
        Bytes patch = make_delta_patch(pair.base, pair.result);
        for (size_t piece : {size_t{1} << 20, size_t{7}}) {
            Bytes result;
            EXPECT_EQ(apply_in_memory(patch, pair.base, pair.result.size(), &result, piece),
                      DeltaResult::Applied)
                << pair.name;
            EXPECT_EQ(result, pair.result) << pair.name;
        }
        if (pair.patch_at_most > 0) {
            EXPECT_LE(patch.size(), pair.patch_at_most) << pair.name;
        }
    }
}

// Every suffix in order, checked against a plain comparison sort.
TEST(SuffixArray, SortsEverySuffix) {
    std::vector<Bytes> texts = {Bytes(), Bytes{0}, Bytes(300, 'a'), program_like(5000, 3),
                                Bytes{'b', 'a', 'n', 'a', 'n', 'a'}};
    std::mt19937 random(4);
    Bytes binary(4000);
    for (uint8_t& byte : binary) {
        byte = static_cast<uint8_t>(random() % 3 == 0 ? 0xFF : random() % 4);
    }
    texts.push_back(binary);
    for (const Bytes& text : texts) {
        std::vector<int32_t> expected(text.size() + 1);
        for (size_t i = 0; i < expected.size(); ++i) {
            expected[i] = static_cast<int32_t>(i);
        }
        std::sort(expected.begin(), expected.end(), [&](int32_t x, int32_t y) {
            return std::lexicographical_compare(text.begin() + x, text.end(), text.begin() + y,
                                                text.end());
        });
        EXPECT_EQ(build_suffix_array(text), expected) << text.size();
    }
}

}  // namespace
