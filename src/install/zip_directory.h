#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace velda {

// Signatures and fixed sizes of the ZIP records, shared with the release tool's writer.
inline constexpr uint32_t kZipLocalHeaderSignature = 0x04034b50;
inline constexpr uint32_t kZipCentralHeaderSignature = 0x02014b50;
inline constexpr uint32_t kZipEndSignature = 0x06054b50;
inline constexpr uint64_t kZipLocalHeaderSize = 30;
inline constexpr uint64_t kZipCentralHeaderSize = 46;
inline constexpr uint64_t kZipEndSize = 22;

// The extraction script joins every entry name to the install folder unchecked, so the package's
// central directory is read first and the whole package refused when one name would land outside.
enum class ZipCheck { Safe, Unsafe, Malformed };

// Random access to the package bytes, so the file never has to be loaded whole.
struct ZipSource {
    uint64_t size;
    // Reads exactly length bytes at offset into out; false when they are not all there.
    bool (*read_at)(void* context, uint64_t offset, void* out, size_t length);
    void* context;
};

// True when Join-Path plus ExtractToFile keep this entry inside the folder: both "/" and "\"
// separate, no segment of dots and blanks with two or more dots, no leading separator (rooted or
// UNC), no colon (drive letters, streams), no control byte, and a name that still names
// something once empty and "." segments are dropped.
[[nodiscard]] bool zip_entry_name_is_safe(const char* name, size_t length);

// Safe when every entry name is safe; Unsafe with the first bad name (cut to name_size - 1
// bytes, control bytes shown as "?", ready for a log line) in first_bad_name; Malformed when the
// directory cannot be read the way the extractor reads it: no end record, truncated, inconsistent
// ZIP64 records, counts or sizes that disagree. first_bad_name may be null; it is empty unless the
// result is Unsafe.
[[nodiscard]] ZipCheck check_zip_source(const ZipSource& source, char* first_bad_name,
                                        size_t name_size);

// One central directory entry; sizes and offset come from the ZIP64 field where saturated.
struct ZipEntryRecord {
    uint16_t flags;
    uint16_t method;
    uint32_t crc;
    uint64_t compressed_size;
    uint64_t uncompressed_size;
    uint32_t external_attributes;
    uint64_t local_header_offset;
    uint64_t name_offset;  // within the source
    uint16_t name_length;
};
using ZipEntryVisitor = bool (*)(const ZipEntryRecord& entry, void* context);

// Calls visit for every entry in directory order, names unjudged. False when the directory is
// Malformed as check_zip_source reads it, or when visit returns false.
[[nodiscard]] bool list_zip_source(const ZipSource& source, ZipEntryVisitor visit, void* context);
[[nodiscard]] ZipCheck check_zip_entries(std::FILE* file, char* first_bad_name, size_t name_size);
// Malformed when the file cannot be opened.
[[nodiscard]] ZipCheck check_zip_file(const char* path, char* first_bad_name, size_t name_size);

}  // namespace velda
