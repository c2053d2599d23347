#include "install/zip_directory.h"

#include <cstring>

#include "common/little_endian.h"
#include "common/stdio_file.h"
#include "install/zip_central_directory.h"
#include "install/zip_name_rule.h"

namespace velda {

namespace {

constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;
constexpr uint64_t kUnicodePathHeader = 5;  // version byte and CRC-32 of the plain name

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
EntryResult check_extra_fields(const ZipReader& reader, uint64_t start, uint64_t length,
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
            ZipNameRule rule;
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

// The plain name of an entry at name_start; bad_name holds it only when it is Unsafe.
EntryResult judge_entry_name(const ZipReader& reader, uint64_t name_start, uint64_t name_length,
                             char* bad_name, size_t name_size) {
    ZipNameRule rule;
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
    return EntryResult::Safe;
}

// What a visitor is told of the central header, with the sizes and offset wide as resolved.
ZipEntryRecord entry_record(const unsigned char* header, const uint64_t wide[3],
                            uint64_t name_start) {
    ZipEntryRecord record{};
    record.flags = load_le16(header + 8);
    record.method = load_le16(header + 10);
    record.crc = load_le32(header + 16);
    record.compressed_size = wide[kZip64Compressed];
    record.uncompressed_size = wide[kZip64Uncompressed];
    record.external_attributes = load_le32(header + 38);
    record.local_header_offset = wide[kZip64Offset];
    record.name_offset = name_start;
    record.name_length = static_cast<uint16_t>(load_le16(header + 28));
    return record;
}

// One central header at *offset, which moves past it; the header has to end by limit.
EntryResult check_entry(const ZipReader& reader, uint64_t* offset, uint64_t limit,
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
        EntryResult name = judge_entry_name(reader, name_start, name_length, bad_name, name_size);
        if (name != EntryResult::Safe) {
            return name;
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
    if (visitor != nullptr &&
        !visitor->visit(entry_record(header, wide, name_start), visitor->context)) {
        return EntryResult::Malformed;
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
    ZipNameRule rule;
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
    ZipReader reader(source);
    ZipDirectoryLocation directory{};
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

}  // namespace velda
