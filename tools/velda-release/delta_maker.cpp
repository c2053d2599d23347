#include "delta_maker.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/little_endian.h"
#include "delta/delta_format.h"
#include "suffix_array.h"

namespace velda {

namespace {

// Longer matches are followed in steps of this many bytes, which keeps the search linear on
// long runs of one byte.
constexpr int64_t kMatchCompareLimit = 1 << 14;
// A new match must beat staying at the current offset by this many bytes to start an instruction.
constexpr int64_t kMatchGain = 8;
// Stepping a byte at a time through a match this long, the maker follows it instead of searching
// again: a search compares up to kMatchCompareLimit bytes at each of its steps, which on long
// repeats would cost that much for every byte.
constexpr int64_t kFollowAbove = 256;

int64_t match_length(const uint8_t* a, int64_t a_size, const uint8_t* b, int64_t b_size) {
    int64_t limit = std::min({a_size, b_size, kMatchCompareLimit});
    int64_t length = 0;
    while (length < limit && a[length] == b[length]) {
        ++length;
    }
    return length;
}

// The base with its suffix array: the longest match of any text in it.
class BaseIndex {
  public:
    explicit BaseIndex(std::span<const uint8_t> base)
        : base_(base), suffixes_(build_suffix_array(base)) {}

    int64_t longest_match(const uint8_t* text, int64_t text_size, int64_t* position) const {
        const uint8_t* base = base_.data();
        int64_t base_size = static_cast<int64_t>(base_.size());
        size_t low = 0;
        size_t high = base_.size();
        while (high - low >= 2) {
            size_t middle = low + (high - low) / 2;
            int64_t start = suffixes_[middle];
            int64_t compared = std::min({base_size - start, text_size, kMatchCompareLimit});
            // Equal bytes go right: a suffix that ends inside them sorts before the text, and
            // of suffixes alike up to the limit the longer ones come later. Going left would end
            // on the shortest of many repeats, where a match cannot go on.
            if (std::memcmp(base + start, text, static_cast<size_t>(compared)) <= 0) {
                low = middle;
            } else {
                high = middle;
            }
        }
        int64_t low_start = suffixes_[low];
        int64_t high_start = suffixes_[high];
        int64_t low_length = match_length(base + low_start, base_size - low_start, text, text_size);
        int64_t high_length =
            match_length(base + high_start, base_size - high_start, text, text_size);
        *position = low_length > high_length ? low_start : high_start;
        return std::max(low_length, high_length);
    }

  private:
    std::span<const uint8_t> base_;
    std::vector<int32_t> suffixes_;
};

// A stretch of an add where nearly every byte differs (no 4 unchanged in a row, 512 bytes or
// more) goes in as inserted bytes when they deflate smaller than its differences, which cost a
// run length per byte: new data in place of old, rather than old code with moved addresses.
constexpr int64_t kDenseGap = 4;
constexpr int64_t kDenseLength = 512;

size_t deflated_size(const std::vector<uint8_t>& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 6) != Z_OK) {
        return bytes.size();
    }
    return size;
}

class InstructionWriter {
  public:
    InstructionWriter(std::span<const uint8_t> base, std::span<const uint8_t> result)
        : base_(base), result_(result) {}

    void instruction(int64_t base_from, int64_t result_from, int64_t add_length,
                     int64_t insert_length, int64_t seek) {
        int64_t done = 0;
        for (;;) {
            auto [dense_from, dense_to] = next_dense(base_from, result_from, done, add_length);
            if (dense_from == dense_to) {
                break;
            }
            int64_t dense_length = dense_to - dense_from;
            emit(base_from + done, result_from + done, dense_from - done, dense_length,
                 dense_length);
            done = dense_to;
        }
        emit(base_from + done, result_from + done, add_length - done, insert_length, seek);
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    uint8_t difference(int64_t base_at, int64_t result_at) const {
        return static_cast<uint8_t>(result_[static_cast<size_t>(result_at)] -
                                    base_[static_cast<size_t>(base_at)]);
    }

    // The first dense stretch of the add from offset from on; empty when there is none.
    std::pair<int64_t, int64_t> next_dense(int64_t base_from, int64_t result_from, int64_t from,
                                           int64_t add_length) {
        int64_t i = from;
        while (i < add_length) {
            if (difference(base_from + i, result_from + i) == 0) {
                ++i;
                continue;
            }
            int64_t start = i;
            int64_t last = i;
            while (i < add_length && i - last <= kDenseGap) {
                if (difference(base_from + i, result_from + i) != 0) {
                    last = i;
                }
                ++i;
            }
            if (last + 1 - start >= kDenseLength &&
                inserting_is_smaller(base_from + start, result_from + start, last + 1 - start)) {
                return {start, last + 1};
            }
            i = last + 1;
        }
        return {0, 0};
    }

    bool inserting_is_smaller(int64_t base_from, int64_t result_from, int64_t length) {
        size_t mark = bytes_.size();
        emit_differences(base_from, result_from, length);
        std::vector<uint8_t> as_differences(bytes_.begin() + static_cast<std::ptrdiff_t>(mark),
                                            bytes_.end());
        bytes_.resize(mark);
        const uint8_t* inserted = result_.data() + result_from;
        std::vector<uint8_t> as_inserted(inserted, inserted + length);
        return deflated_size(as_inserted) < deflated_size(as_differences);
    }

    void emit_differences(int64_t base_from, int64_t result_from, int64_t add_length) {
        uint64_t unchanged = 0;
        for (int64_t i = 0; i < add_length; ++i) {
            uint8_t change = difference(base_from + i, result_from + i);
            if (change == 0) {
                ++unchanged;
                continue;
            }
            varint(unchanged);
            bytes_.push_back(change);
            unchanged = 0;
        }
        if (unchanged > 0) {
            varint(unchanged);
        }
    }

    void emit(int64_t base_from, int64_t result_from, int64_t add_length, int64_t insert_length,
              int64_t seek) {
        varint(static_cast<uint64_t>(add_length));
        varint(static_cast<uint64_t>(insert_length));
        varint(encode_delta_seek(seek));
        emit_differences(base_from, result_from, add_length);
        const uint8_t* inserted = result_.data() + result_from + add_length;
        bytes_.insert(bytes_.end(), inserted, inserted + insert_length);
    }

    void varint(uint64_t value) {
        uint8_t encoded[kDeltaVarintMaxBytes];
        size_t length = encode_delta_varint(value, encoded);
        bytes_.insert(bytes_.end(), encoded, encoded + length);
    }

    std::span<const uint8_t> base_;
    std::span<const uint8_t> result_;
    std::vector<uint8_t> bytes_;
};

// How far forward from the last match, and back from the next one, the bytes still mostly agree
// with the base at each match's offset (bsdiff's approximate extension, Percival 2003).
struct Extension {
    int64_t forward = 0;
    int64_t backward = 0;
};

Extension extend_matches(const uint8_t* old_bytes, int64_t old_size, const uint8_t* new_bytes,
                         int64_t new_size, int64_t last_scan, int64_t last_pos, int64_t scan,
                         int64_t pos) {
    Extension ext;
    int64_t score = 0;
    int64_t best = 0;
    for (int64_t i = 0; last_scan + i < scan && last_pos + i < old_size;) {
        if (old_bytes[last_pos + i] == new_bytes[last_scan + i]) {
            ++score;
        }
        ++i;
        if (score * 2 - i > best * 2 - ext.forward) {
            best = score;
            ext.forward = i;
        }
    }
    if (scan < new_size) {
        score = 0;
        best = 0;
        for (int64_t i = 1; scan >= last_scan + i && pos >= i; ++i) {
            if (old_bytes[pos - i] == new_bytes[scan - i]) {
                ++score;
            }
            if (score * 2 - i > best * 2 - ext.backward) {
                best = score;
                ext.backward = i;
            }
        }
    }
    if (last_scan + ext.forward > scan - ext.backward) {
        int64_t overlap = (last_scan + ext.forward) - (scan - ext.backward);
        score = 0;
        best = 0;
        int64_t split = 0;
        for (int64_t i = 0; i < overlap; ++i) {
            if (new_bytes[last_scan + ext.forward - overlap + i] ==
                old_bytes[last_pos + ext.forward - overlap + i]) {
                ++score;
            }
            if (new_bytes[scan - ext.backward + i] == old_bytes[pos - ext.backward + i]) {
                --score;
            }
            if (score > best) {
                best = score;
                split = i + 1;
            }
        }
        ext.forward += split - overlap;
        ext.backward -= split;
    }
    return ext;
}

// The instructions that turn base into result.
std::vector<uint8_t> instructions_for(std::span<const uint8_t> base,
                                      std::span<const uint8_t> result) {
    InstructionWriter writer(base, result);
    const int64_t new_size = static_cast<int64_t>(result.size());
    const int64_t old_size = static_cast<int64_t>(base.size());
    if (old_size == 0 || old_size >= std::numeric_limits<int32_t>::max() - 1) {
        if (new_size > 0) {
            writer.instruction(0, 0, 0, new_size, 0);
        }
        return writer.bytes();
    }
    const uint8_t* old_bytes = base.data();
    const uint8_t* new_bytes = result.data();
    BaseIndex index(base);
    int64_t scan = 0, length = 0, pos = 0;
    int64_t last_scan = 0, last_pos = 0, last_offset = 0;
    while (scan < new_size) {
        int64_t old_score = 0;
        int64_t scored = scan += length;
        for (bool follow = false; scan < new_size; ++scan, follow = true) {
            if (follow && length > kFollowAbove) {
                --length;  // the last match, one byte on: no new search
                ++pos;
            } else {
                length = index.longest_match(new_bytes + scan, new_size - scan, &pos);
            }
            for (; scored < scan + length; ++scored) {
                int64_t at = scored + last_offset;
                if (at >= 0 && at < old_size && old_bytes[at] == new_bytes[scored]) {
                    ++old_score;
                }
            }
            if ((length == old_score && length != 0) || length > old_score + kMatchGain) {
                break;
            }
            int64_t at = scan + last_offset;
            if (at >= 0 && at < old_size && old_bytes[at] == new_bytes[scan]) {
                --old_score;
            }
        }
        if (length != old_score || scan == new_size) {
            Extension ext = extend_matches(old_bytes, old_size, new_bytes, new_size, last_scan,
                                           last_pos, scan, pos);
            int64_t insert_length = (scan - ext.backward) - (last_scan + ext.forward);
            int64_t seek = (pos - ext.backward) - (last_pos + ext.forward);
            writer.instruction(last_pos, last_scan, ext.forward, insert_length, seek);
            last_scan = scan - ext.backward;
            last_pos = pos - ext.backward;
            last_offset = pos - scan;
        }
    }
    return writer.bytes();
}

std::vector<uint8_t> deflated(const std::vector<uint8_t>& bytes) {
    z_stream zlib{};
    if (deflateInit2(&zlib, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("zlib deflateInit2 failed");
    }
    std::vector<uint8_t> out(deflateBound(&zlib, static_cast<uLong>(bytes.size())));
    zlib.next_in = const_cast<Bytef*>(bytes.data());
    zlib.avail_in = static_cast<uInt>(bytes.size());
    zlib.next_out = out.data();
    zlib.avail_out = static_cast<uInt>(out.size());
    int status = deflate(&zlib, Z_FINISH);
    out.resize(zlib.total_out);
    deflateEnd(&zlib);
    if (status != Z_STREAM_END) {
        throw std::runtime_error("zlib deflate failed");
    }
    return out;
}

}  // namespace

std::vector<uint8_t> make_delta_patch(std::span<const uint8_t> base,
                                      std::span<const uint8_t> result) {
    std::vector<uint8_t> patch(kDeltaHeaderSize);
    std::memcpy(patch.data(), kDeltaMagic, sizeof(kDeltaMagic));
    patch[4] = kDeltaFormat;
    patch[5] = kDeltaMethodZlib;
    store_le(patch.data() + 8, base.size(), 8);
    store_le(patch.data() + 16, result.size(), 8);
    std::vector<uint8_t> stream = deflated(instructions_for(base, result));
    patch.insert(patch.end(), stream.begin(), stream.end());
    return patch;
}

}  // namespace velda
