#pragma once

// A package writer for tests and fuzz targets: stored entries, names written exactly as given,
// optional ZIP64 records and Info-ZIP Unicode Path fields.
#include <cstdint>
#include <string>
#include <vector>

#include "common/little_endian.h"

using namespace velda;

namespace zip_builder {

struct Entry {
    std::string name;
    std::string data;
    std::string unicode_path;  // an Info-ZIP Unicode Path field when not empty
};

struct Layout {
    bool zip64 = false;
    std::string comment;
    uint64_t base = 0;  // where the package starts within a larger source
};

inline void put(std::string* out, uint64_t value, int width) {
    append_le(out, value, width);
}

// Overwrites a field of a built package.
inline void poke(std::string* bytes, size_t at, uint64_t value, int width) {
    store_le(reinterpret_cast<unsigned char*>(bytes->data() + at), value, width);
}

inline std::string build_zip(const std::vector<Entry>& entries, const Layout& layout = {}) {
    std::string out;
    std::string central;
    for (const Entry& entry : entries) {
        const uint64_t offset = layout.base + out.size();
        put(&out, 0x04034b50, 4);
        put(&out, 20, 2);
        put(&out, 0x0800, 2);  // UTF-8 names
        put(&out, 0, 2);       // stored
        put(&out, 0, 4);       // time and date
        put(&out, 0, 4);       // CRC-32, not checked by the reader
        put(&out, entry.data.size(), 4);
        put(&out, entry.data.size(), 4);
        put(&out, entry.name.size(), 2);
        put(&out, 0, 2);
        out += entry.name + entry.data;

        std::string extra;
        if (layout.zip64) {
            put(&extra, 0x0001, 2);
            put(&extra, 24, 2);
            put(&extra, entry.data.size(), 8);
            put(&extra, entry.data.size(), 8);
            put(&extra, offset, 8);
        }
        if (!entry.unicode_path.empty()) {
            put(&extra, 0x7075, 2);
            put(&extra, 5 + entry.unicode_path.size(), 2);
            put(&extra, 1, 1);
            put(&extra, 0, 4);
            extra += entry.unicode_path;
        }
        const uint64_t narrow_size = layout.zip64 ? 0xFFFFFFFF : entry.data.size();
        put(&central, 0x02014b50, 4);
        put(&central, 45, 2);
        put(&central, 45, 2);
        put(&central, 0x0800, 2);
        put(&central, 0, 2);
        put(&central, 0, 4);
        put(&central, 0, 4);
        put(&central, narrow_size, 4);
        put(&central, narrow_size, 4);
        put(&central, entry.name.size(), 2);
        put(&central, extra.size(), 2);
        put(&central, 0, 2);  // comment
        put(&central, 0, 2);  // disk
        put(&central, 0, 2);  // internal attributes
        put(&central, 0, 4);  // external attributes
        put(&central, layout.zip64 ? 0xFFFFFFFF : offset, 4);
        central += entry.name + extra;
    }
    const uint64_t directory_offset = layout.base + out.size();
    out += central;
    const uint64_t count = entries.size();
    if (layout.zip64) {
        const uint64_t record_offset = layout.base + out.size();
        put(&out, 0x06064b50, 4);
        put(&out, 44, 8);
        put(&out, 45, 2);
        put(&out, 45, 2);
        put(&out, 0, 4);
        put(&out, 0, 4);
        put(&out, count, 8);
        put(&out, count, 8);
        put(&out, central.size(), 8);
        put(&out, directory_offset, 8);
        put(&out, 0x07064b50, 4);
        put(&out, 0, 4);
        put(&out, record_offset, 8);
        put(&out, 1, 4);
    }
    put(&out, 0x06054b50, 4);
    put(&out, layout.zip64 ? 0xFFFF : 0, 2);
    put(&out, layout.zip64 ? 0xFFFF : 0, 2);
    put(&out, layout.zip64 ? 0xFFFF : count, 2);
    put(&out, layout.zip64 ? 0xFFFF : count, 2);
    put(&out, layout.zip64 ? 0xFFFFFFFF : central.size(), 4);
    put(&out, layout.zip64 ? 0xFFFFFFFF : directory_offset, 4);
    put(&out, layout.comment.size(), 2);
    return out + layout.comment;
}

}  // namespace zip_builder
