#include "suffix_array.h"

#include <algorithm>
#include <vector>

namespace velda {

namespace {

// Suffix sorting by induced sorting (SA-IS, Nong, Zhang and Chan, 2009). Each level sorts a text
// whose last symbol is a unique smallest sentinel; the reduced text of the next level lives in
// the upper part of the suffix array itself, so the extra memory is one bit per symbol.

// The byte text with a sentinel 0 after it; bytes count from 1.
struct ByteText {
    const uint8_t* bytes;
    int32_t length;  // with the sentinel
    int32_t operator[](int32_t i) const { return i + 1 == length ? 0 : bytes[i] + 1; }
};

struct NameText {
    const int32_t* names;
    int32_t operator[](int32_t i) const { return names[i]; }
};

class TypeBits {
  public:
    explicit TypeBits(int32_t length) : bits_(static_cast<size_t>(length) / 8 + 1) {}
    bool s_type(int32_t i) const { return (bits_[static_cast<size_t>(i) >> 3] >> (i & 7)) & 1; }
    void set_s_type(int32_t i) { bits_[static_cast<size_t>(i) >> 3] |= 1u << (i & 7); }
    bool lms(int32_t i) const { return i > 0 && s_type(i) && !s_type(i - 1); }

  private:
    std::vector<uint8_t> bits_;
};

template <typename Text>
void find_buckets(const Text& text, int32_t length, std::vector<int32_t>& buckets, bool ends) {
    std::fill(buckets.begin(), buckets.end(), 0);
    for (int32_t i = 0; i < length; ++i) {
        ++buckets[static_cast<size_t>(text[i])];
    }
    int32_t sum = 0;
    for (int32_t& bucket : buckets) {
        sum += bucket;
        bucket = ends ? sum : sum - bucket;
    }
}

template <typename Text>
void induce(const Text& text, const TypeBits& types, int32_t* sa, int32_t length,
            std::vector<int32_t>& buckets) {
    find_buckets(text, length, buckets, false);
    for (int32_t i = 0; i < length; ++i) {
        int32_t j = sa[i] - 1;
        if (j >= 0 && !types.s_type(j)) {
            sa[buckets[static_cast<size_t>(text[j])]++] = j;
        }
    }
    find_buckets(text, length, buckets, true);
    for (int32_t i = length - 1; i >= 0; --i) {
        int32_t j = sa[i] - 1;
        if (j >= 0 && types.s_type(j)) {
            sa[--buckets[static_cast<size_t>(text[j])]] = j;
        }
    }
}

template <typename Text>
bool same_lms_substring(const Text& text, const TypeBits& types, int32_t a, int32_t b) {
    for (int32_t d = 0;; ++d) {
        if (text[a + d] != text[b + d] || types.s_type(a + d) != types.s_type(b + d)) {
            return false;
        }
        if (d > 0 && (types.lms(a + d) || types.lms(b + d))) {
            return true;
        }
    }
}

// Names the sorted LMS substrings into sa[count..]; returns how many names differ.
template <typename Text>
int32_t name_lms_substrings(const Text& text, const TypeBits& types, int32_t* sa, int32_t length,
                            int32_t* count) {
    int32_t lms_count = 0;
    for (int32_t i = 0; i < length; ++i) {
        if (types.lms(sa[i])) {
            sa[lms_count++] = sa[i];
        }
    }
    std::fill(sa + lms_count, sa + length, -1);
    int32_t names = 0;
    int32_t previous = -1;
    for (int32_t i = 0; i < lms_count; ++i) {
        int32_t position = sa[i];
        if (previous < 0 || !same_lms_substring(text, types, position, previous)) {
            ++names;
            previous = position;
        }
        sa[lms_count + position / 2] = names - 1;
    }
    for (int32_t i = length - 1, j = length - 1; i >= lms_count; --i) {
        if (sa[i] >= 0) {
            sa[j--] = sa[i];
        }
    }
    *count = lms_count;
    return names;
}

template <typename Text>
void sort_suffixes(const Text& text, int32_t* sa, int32_t length, int32_t alphabet) {
    TypeBits types(length);
    types.set_s_type(length - 1);
    for (int32_t i = length - 3; i >= 0; --i) {
        if (text[i] < text[i + 1] || (text[i] == text[i + 1] && types.s_type(i + 1))) {
            types.set_s_type(i);
        }
    }
    std::vector<int32_t> buckets(static_cast<size_t>(alphabet));
    find_buckets(text, length, buckets, true);
    std::fill(sa, sa + length, -1);
    for (int32_t i = 1; i < length; ++i) {
        if (types.lms(i)) {
            sa[--buckets[static_cast<size_t>(text[i])]] = i;
        }
    }
    induce(text, types, sa, length, buckets);

    int32_t lms_count = 0;
    int32_t names = name_lms_substrings(text, types, sa, length, &lms_count);
    int32_t* reduced = sa + length - lms_count;
    if (names < lms_count) {
        // A level's buckets can be as many as half its text: free them while the next one runs.
        std::vector<int32_t>().swap(buckets);
        sort_suffixes(NameText{reduced}, sa, lms_count, names);
        buckets.assign(static_cast<size_t>(alphabet), 0);
    } else {
        for (int32_t i = 0; i < lms_count; ++i) {
            sa[reduced[i]] = i;
        }
    }

    find_buckets(text, length, buckets, true);
    for (int32_t i = 1, j = 0; i < length; ++i) {
        if (types.lms(i)) {
            reduced[j++] = i;
        }
    }
    for (int32_t i = 0; i < lms_count; ++i) {
        sa[i] = reduced[sa[i]];
    }
    std::fill(sa + lms_count, sa + length, -1);
    for (int32_t i = lms_count - 1; i >= 0; --i) {
        int32_t j = sa[i];
        sa[i] = -1;
        sa[--buckets[static_cast<size_t>(text[j])]] = j;
    }
    induce(text, types, sa, length, buckets);
}

}  // namespace

std::vector<int32_t> build_suffix_array(std::span<const uint8_t> text) {
    int32_t length = static_cast<int32_t>(text.size()) + 1;
    std::vector<int32_t> sa(static_cast<size_t>(length));
    if (length == 1) {
        sa[0] = 0;
        return sa;
    }
    sort_suffixes(ByteText{text.data(), length}, sa.data(), length, 257);
    return sa;
}

}  // namespace velda
