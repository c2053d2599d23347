#include "install/zip_central_directory.h"

#include "common/little_endian.h"

namespace velda {

namespace {

constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;

constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kZip64EndFixedSize = 56;
constexpr uint64_t kZip64EndSizeFieldCovers = 12;  // signature and the size field itself
constexpr uint64_t kMaxCommentLength = 0xFFFF;

// The end record nearest the end of the file, as the extractor takes it; its comment has to
// reach exactly to the end, so that no other candidate could be meant.
bool find_end_record(const ZipReader& reader, uint64_t* end_offset) {
    if (reader.size() < kZipEndSize) {
        return false;
    }
    const uint64_t highest = reader.size() - kZipEndSize;
    const uint64_t lowest = highest > kMaxCommentLength ? highest - kMaxCommentLength : 0;
    unsigned char block[4096];
    constexpr uint64_t kCandidatesPerBlock = sizeof(block) - 3;
    uint64_t top = highest;  // highest candidate not yet examined
    for (;;) {
        uint64_t bottom =
            top - lowest >= kCandidatesPerBlock ? top - kCandidatesPerBlock + 1 : lowest;
        size_t length = static_cast<size_t>(top - bottom + 4);
        if (!reader.read(bottom, block, length)) {
            return false;
        }
        for (uint64_t candidate = top + 1; candidate-- > bottom;) {
            if (load_le32(block + (candidate - bottom)) == kZipEndSignature) {
                unsigned char record[kZipEndSize];
                if (!reader.read(candidate, record, sizeof(record))) {
                    return false;
                }
                if (candidate + kZipEndSize + load_le16(record + 20) != reader.size()) {
                    return false;
                }
                *end_offset = candidate;
                return true;
            }
        }
        if (bottom == lowest) {
            return false;
        }
        top = bottom - 1;
    }
}

// A saturated 16- or 32-bit field defers to its ZIP64 value; any other must agree with it, so
// that readers which prefer either record see the same directory.
bool merge_field(uint64_t narrow, uint64_t saturated, uint64_t wide, uint64_t* out) {
    if (narrow != saturated && narrow != wide) {
        return false;
    }
    *out = wide;
    return true;
}

// The ZIP64 end record that a locator right before the end record points to, when both are
// whole and in their places.
bool find_zip64_record(const ZipReader& reader, uint64_t end_offset, uint64_t* record_offset,
                       unsigned char record[kZip64EndFixedSize]) {
    unsigned char locator[kZip64LocatorSize];
    if (end_offset < kZip64LocatorSize ||
        !reader.read(end_offset - kZip64LocatorSize, locator, sizeof(locator)) ||
        load_le32(locator) != kZip64LocatorSignature || load_le32(locator + 4) != 0) {
        return false;
    }
    const uint64_t locator_offset = end_offset - kZip64LocatorSize;
    const uint64_t offset = load_le64(locator + 8);
    if (offset > locator_offset || locator_offset - offset < kZip64EndFixedSize ||
        !reader.read(offset, record, kZip64EndFixedSize) ||
        load_le32(record) != kZip64EndSignature) {
        return false;
    }
    const uint64_t record_size = load_le64(record + 4);
    if (record_size < kZip64EndFixedSize - kZip64EndSizeFieldCovers ||
        record_size > locator_offset - offset - kZip64EndSizeFieldCovers) {
        return false;
    }
    *record_offset = offset;
    return true;
}

}  // namespace

bool read_directory_location(const ZipReader& reader, ZipDirectoryLocation* directory) {
    uint64_t end_offset = 0;
    if (!find_end_record(reader, &end_offset)) {
        return false;
    }
    unsigned char end[kZipEndSize];
    if (!reader.read(end_offset, end, sizeof(end))) {
        return false;
    }
    const uint16_t disk = load_le16(end + 4);
    const uint16_t directory_disk = load_le16(end + 6);
    const uint16_t entries_here = load_le16(end + 8);
    const uint16_t entries = load_le16(end + 10);
    const uint32_t size = load_le32(end + 12);
    const uint32_t offset = load_le32(end + 16);

    const bool saturated = disk == kSaturated16 || directory_disk == kSaturated16 ||
                           entries_here == kSaturated16 || entries == kSaturated16 ||
                           size == kSaturated32 || offset == kSaturated32;
    uint64_t record_offset = 0;
    unsigned char record[kZip64EndFixedSize];
    if (!find_zip64_record(reader, end_offset, &record_offset, record)) {
        // A saturated field without its ZIP64 record leaves a reader to search for one. Without
        // one, bytes that only look like a locator are the tail of the last header, as the
        // extractor reads them: it looks for ZIP64 records only behind saturated fields.
        if (saturated) {
            return false;
        }
        if (disk != 0 || directory_disk != 0 || entries_here != entries) {
            return false;  // split archives are not extracted
        }
        *directory = {entries, offset, size, end_offset};
        return true;
    }

    uint64_t wide_disk = 0;
    uint64_t wide_directory_disk = 0;
    uint64_t wide_entries_here = 0;
    ZipDirectoryLocation merged{};
    if (!merge_field(disk, kSaturated16, load_le32(record + 16), &wide_disk) ||
        !merge_field(directory_disk, kSaturated16, load_le32(record + 20), &wide_directory_disk) ||
        !merge_field(entries_here, kSaturated16, load_le64(record + 24), &wide_entries_here) ||
        !merge_field(entries, kSaturated16, load_le64(record + 32), &merged.entries) ||
        !merge_field(size, kSaturated32, load_le64(record + 40), &merged.size) ||
        !merge_field(offset, kSaturated32, load_le64(record + 48), &merged.offset)) {
        return false;
    }
    if (wide_disk != 0 || wide_directory_disk != 0 || wide_entries_here != merged.entries) {
        return false;
    }
    merged.limit = record_offset;
    *directory = merged;
    return true;
}

void read_zip64_extra(const unsigned char* data, size_t length, Zip64Values* values) {
    size_t at = 0;
    for (int field = 0; field < 3; ++field) {
        if (!values->need[field]) {
            continue;
        }
        if (length - at < 8) {
            return;
        }
        values->value[field] = load_le64(data + at);
        values->found[field] = true;
        at += 8;
    }
}

}  // namespace velda
