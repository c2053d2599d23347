#include "install/zip_directory.h"

#include <cstring>

#include "common/little_endian.h"
#include "common/stdio_file.h"

namespace {

constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;

constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kZip64EndFixedSize = 56;
constexpr uint64_t kZip64EndSizeFieldCovers = 12;  // signature and the size field itself
constexpr uint64_t kMaxCommentLength = 0xFFFF;

constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;
constexpr uint64_t kUnicodePathHeader = 5;  // version byte and CRC-32 of the plain name

constexpr uint16_t kSaturated16 = 0xFFFF;
constexpr uint32_t kSaturated32 = 0xFFFFFFFF;

// The name rule, fed byte by byte so that names of any length need no buffer.
class NameRule {
  public:
    void feed(unsigned char c) {
        if (first_ && (c == '/' || c == '\\')) {
            bad_ = true;  // rooted, and "\\server\share" too
        }
        first_ = false;
        if (c < 0x20 || c == ':') {
            bad_ = true;
        }
        if (c == '/' || c == '\\') {
            end_segment();
            return;
        }
        ++segment_length_;
        if (c == '.') {
            ++segment_dots_;
        } else if (c != ' ') {
            only_dots_and_blanks_ = false;
        }
    }

    bool finish() {
        end_segment();
        return !bad_ && names_something_;
    }

  private:
    // Windows drops trailing dots and blanks, and older .NET path handling reads "...", ". ."
    // and ".. " as the parent: every segment of dots and blanks with two dots goes up.
    void end_segment() {
        if (segment_length_ > 0) {
            if (!only_dots_and_blanks_) {
                names_something_ = true;
            } else if (segment_dots_ >= 2) {
                bad_ = true;
            }
        }
        segment_length_ = 0;
        segment_dots_ = 0;
        only_dots_and_blanks_ = true;
    }

    bool first_ = true;
    bool bad_ = false;
    bool names_something_ = false;
    size_t segment_length_ = 0;
    size_t segment_dots_ = 0;
    bool only_dots_and_blanks_ = true;
};

class Reader {
  public:
    explicit Reader(const ZipSource& source) : source_(source) {}

    uint64_t size() const { return source_.size; }

    bool read(uint64_t offset, void* out, size_t length) const {
        if (offset > source_.size || length > source_.size - offset) {
            return false;
        }
        return length == 0 || source_.read_at(source_.context, offset, out, length);
    }

    // Streams length bytes at offset through rule, keeping the first bytes in name (if any).
    bool feed_name(uint64_t offset, uint64_t length, NameRule* rule, char* name,
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

// The end record nearest the end of the file, as the extractor takes it; its comment has to
// reach exactly to the end, so that no other candidate could be meant.
bool find_end_record(const Reader& reader, uint64_t* end_offset) {
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

struct Directory {
    uint64_t entries;
    uint64_t offset;
    uint64_t size;
    uint64_t limit;  // first byte after the room the directory may take
};

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
bool find_zip64_record(const Reader& reader, uint64_t end_offset, uint64_t* record_offset,
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

bool read_directory_location(const Reader& reader, Directory* directory) {
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
    Directory merged{};
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

// Values of the ZIP64 extra field that the central header left saturated, in their fixed order.
struct Zip64Values {
    bool need[3];  // uncompressed size, compressed size, local header offset
    bool found[3];
    uint64_t value[3];
};

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

constexpr int kZip64Uncompressed = 0;
constexpr int kZip64Compressed = 1;
constexpr int kZip64Offset = 2;

// Where a walk of the directory reports its entries; without a visitor, names are judged.
struct EntryVisitor {
    ZipEntryVisitor visit;
    void* context;
};

enum class EntryResult { Safe, Unsafe, Malformed };

// The extra fields: ZIP64 values for the offset, and the Unicode path, which some extractors
// prefer to the plain name. A field that overruns the area ends the walk, as in the extractor.
EntryResult check_extra_fields(const Reader& reader, uint64_t start, uint64_t length,
                               bool judge_names, Zip64Values* zip64, char* bad_name,
                               size_t name_size) {
    uint64_t at = 0;
    while (length - at >= 4) {
        unsigned char header[4];
        if (!reader.read(start + at, header, sizeof(header))) {
            return EntryResult::Malformed;
        }
        const uint16_t id = load_le16(header);
        const uint64_t field_size = load_le16(header + 2);
        at += 4;
        if (field_size > length - at) {
            break;
        }
        if (id == kZip64ExtraId) {
            unsigned char values[28];
            size_t wanted =
                static_cast<size_t>(field_size < sizeof(values) ? field_size : sizeof(values));
            if (!reader.read(start + at, values, wanted)) {
                return EntryResult::Malformed;
            }
            read_zip64_extra(values, wanted, zip64);
        } else if (judge_names && id == kUnicodePathExtraId && field_size >= kUnicodePathHeader) {
            NameRule rule;
            char* name = nullptr;
            if (bad_name != nullptr && name_size > 0) {
                name = bad_name;
                name[0] = '\0';
            }
            if (!reader.feed_name(start + at + kUnicodePathHeader, field_size - kUnicodePathHeader,
                                  &rule, name, name_size)) {
                return EntryResult::Malformed;
            }
            if (!rule.finish()) {
                return EntryResult::Unsafe;
            }
            if (name != nullptr) {
                name[0] = '\0';
            }
        }
        at += field_size;
    }
    return EntryResult::Safe;
}

// One central header at *offset, which moves past it; the header has to end by limit.
EntryResult check_entry(const Reader& reader, uint64_t* offset, uint64_t limit,
                        uint64_t directory_offset, const EntryVisitor* visitor, char* bad_name,
                        size_t name_size) {
    unsigned char header[kZipCentralHeaderSize];
    if (limit - *offset < kZipCentralHeaderSize || !reader.read(*offset, header, sizeof(header)) ||
        load_le32(header) != kZipCentralHeaderSignature) {
        return EntryResult::Malformed;
    }
    const uint64_t name_length = load_le16(header + 28);
    const uint64_t extra_length = load_le16(header + 30);
    const uint64_t comment_length = load_le16(header + 32);
    const uint64_t name_start = *offset + kZipCentralHeaderSize;
    if (limit - name_start < name_length + extra_length + comment_length) {
        return EntryResult::Malformed;
    }

    const bool judge_names = visitor == nullptr;
    if (judge_names) {
        NameRule rule;
        if (bad_name != nullptr && name_size > 0) {
            bad_name[0] = '\0';
        }
        if (!reader.feed_name(name_start, name_length, &rule, bad_name, name_size)) {
            return EntryResult::Malformed;
        }
        if (!rule.finish()) {
            return EntryResult::Unsafe;
        }
        if (bad_name != nullptr && name_size > 0) {
            bad_name[0] = '\0';
        }
    }

    Zip64Values zip64{};
    const uint64_t narrow[3] = {load_le32(header + 24), load_le32(header + 20),
                                load_le32(header + 42)};
    for (int field = 0; field < 3; ++field) {
        zip64.need[field] = narrow[field] == kSaturated32;
    }
    EntryResult extra = check_extra_fields(reader, name_start + name_length, extra_length,
                                           judge_names, &zip64, bad_name, name_size);
    if (extra != EntryResult::Safe) {
        return extra;
    }
    uint64_t wide[3];
    for (int field = 0; field < 3; ++field) {
        wide[field] = zip64.found[field] ? zip64.value[field] : narrow[field];
    }
    if (zip64.need[kZip64Offset] && !zip64.found[kZip64Offset]) {
        return EntryResult::Malformed;
    }
    const uint64_t local_offset = wide[kZip64Offset];
    // The entry's data lies before the directory.
    if (local_offset > directory_offset || directory_offset - local_offset < kZipLocalHeaderSize) {
        return EntryResult::Malformed;
    }
    if (visitor != nullptr) {
        ZipEntryRecord record{};
        record.flags = load_le16(header + 8);
        record.method = load_le16(header + 10);
        record.crc = load_le32(header + 16);
        record.compressed_size = wide[kZip64Compressed];
        record.uncompressed_size = wide[kZip64Uncompressed];
        record.external_attributes = load_le32(header + 38);
        record.local_header_offset = local_offset;
        record.name_offset = name_start;
        record.name_length = static_cast<uint16_t>(name_length);
        if (!visitor->visit(record, visitor->context)) {
            return EntryResult::Malformed;
        }
    }
    *offset = name_start + name_length + extra_length + comment_length;
    return EntryResult::Safe;
}

bool read_file_at(void* context, uint64_t offset, void* out, size_t length) {
    std::FILE* file = static_cast<std::FILE*>(context);
#ifdef _WIN32
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) != 0) {
        return false;
    }
#else
    if (offset > static_cast<uint64_t>(INT64_MAX) ||
        fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
#endif
    return std::fread(out, 1, length, file) == length;
}

bool file_size(std::FILE* file, uint64_t* size) {
#ifdef _WIN32
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return false;
    }
    __int64 end = _ftelli64(file);
#else
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    off_t end = ftello(file);
#endif
    if (end < 0) {
        return false;
    }
    *size = static_cast<uint64_t>(end);
    return true;
}

}  // namespace

bool zip_entry_name_is_safe(const char* name, size_t length) {
    NameRule rule;
    for (size_t i = 0; i < length; ++i) {
        rule.feed(static_cast<unsigned char>(name[i]));
    }
    return rule.finish();
}

namespace {

// Judges every name when visitor is null; otherwise reports every entry to it, names unjudged.
ZipCheck walk_directory(const ZipSource& source, const EntryVisitor* visitor, char* first_bad_name,
                        size_t name_size) {
    if (first_bad_name != nullptr && name_size > 0) {
        first_bad_name[0] = '\0';
    }
    Reader reader(source);
    Directory directory{};
    if (!read_directory_location(reader, &directory) || directory.offset > directory.limit ||
        directory.size > directory.limit - directory.offset) {
        return ZipCheck::Malformed;
    }
    // Every header needs 46 bytes: a count the directory cannot hold is refused before the walk.
    if (directory.entries > directory.size / kZipCentralHeaderSize) {
        return ZipCheck::Malformed;
    }
    const uint64_t end = directory.offset + directory.size;
    uint64_t offset = directory.offset;
    for (uint64_t i = 0; i < directory.entries; ++i) {
        EntryResult result =
            check_entry(reader, &offset, end, directory.offset, visitor, first_bad_name, name_size);
        if (result == EntryResult::Unsafe) {
            return ZipCheck::Unsafe;
        }
        if (result == EntryResult::Malformed) {
            if (first_bad_name != nullptr && name_size > 0) {
                first_bad_name[0] = '\0';
            }
            return ZipCheck::Malformed;
        }
    }
    return offset == end ? ZipCheck::Safe : ZipCheck::Malformed;
}

}  // namespace

ZipCheck check_zip_source(const ZipSource& source, char* first_bad_name, size_t name_size) {
    return walk_directory(source, nullptr, first_bad_name, name_size);
}

bool list_zip_source(const ZipSource& source, ZipEntryVisitor visit, void* context) {
    EntryVisitor visitor{visit, context};
    return walk_directory(source, &visitor, nullptr, 0) == ZipCheck::Safe;
}

ZipCheck check_zip_entries(std::FILE* file, char* first_bad_name, size_t name_size) {
    if (first_bad_name != nullptr && name_size > 0) {
        first_bad_name[0] = '\0';
    }
    ZipSource source{0, read_file_at, file};
    if (file == nullptr || !file_size(file, &source.size)) {
        return ZipCheck::Malformed;
    }
    return check_zip_source(source, first_bad_name, name_size);
}

ZipCheck check_zip_file(const char* path, char* first_bad_name, size_t name_size) {
    UniqueStdioFile file = open_file(path, "rb");
    if (!file) {
        if (first_bad_name != nullptr && name_size > 0) {
            first_bad_name[0] = '\0';
        }
        return ZipCheck::Malformed;
    }
    return check_zip_entries(file.get(), first_bad_name, name_size);
}
