#pragma once

#include <cstddef>
#include <cstdint>

#include "install/zip_directory.h"
#include "install/zip_name_rule.h"

namespace velda {

// How the extractor finds and reads the central directory: the end record, the ZIP64 records
// and the ZIP64 extra field of one entry.

inline constexpr uint16_t kSaturated16 = 0xFFFF;
inline constexpr uint32_t kSaturated32 = 0xFFFFFFFF;

// Bounded reads of a ZipSource.
class ZipReader {
  public:
    explicit ZipReader(const ZipSource& source) : source_(source) {}

    uint64_t size() const { return source_.size; }

    [[nodiscard]] bool read(uint64_t offset, void* out, size_t length) const {
        if (offset > source_.size || length > source_.size - offset) {
            return false;
        }
        return length == 0 || source_.read_at(source_.context, offset, out, length);
    }

    // Streams length bytes at offset through rule, keeping the first bytes in name (if any).
    [[nodiscard]] bool feed_name(uint64_t offset, uint64_t length, ZipNameRule* rule, char* name,
                                 size_t name_size) const {
        unsigned char chunk[512];
        uint64_t done = 0;
        while (done < length) {
            size_t piece =
                static_cast<size_t>(length - done < sizeof(chunk) ? length - done : sizeof(chunk));
            if (!read(offset + done, chunk, piece)) {
                return false;
            }
            for (size_t i = 0; i < piece; ++i) {
                rule->feed(chunk[i]);
                uint64_t at = done + i;
                if (name != nullptr && name_size > 0 && at < name_size - 1) {
                    // The name goes into a log line: no control byte may start a line of its own.
                    bool control = chunk[i] < 0x20 || chunk[i] == 0x7F;
                    name[at] = control ? '?' : static_cast<char>(chunk[i]);
                    name[at + 1] = '\0';
                }
            }
            done += piece;
        }
        return true;
    }

  private:
    const ZipSource& source_;
};

// Where the central directory lies, and how many entries it holds.
struct ZipDirectoryLocation {
    uint64_t entries;
    uint64_t offset;
    uint64_t size;
    uint64_t limit;  // first byte after the room the directory may take
};

// The directory as the end record, or the ZIP64 records it defers to, place it; false when they
// cannot be found whole or disagree.
[[nodiscard]] bool read_directory_location(const ZipReader& reader,
                                           ZipDirectoryLocation* directory);

// Values of the ZIP64 extra field that the central header left saturated, in their fixed order.
struct Zip64Values {
    bool need[3];  // uncompressed size, compressed size, local header offset
    bool found[3];
    uint64_t value[3];
};

// Takes the saturated fields' values, in their order, from the ZIP64 extra field's data.
void read_zip64_extra(const unsigned char* data, size_t length, Zip64Values* values);

}  // namespace velda
