#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "install/zip_directory.h"
#include "common/stdio_file.h"

namespace velda {

// A small ZIP writer: deflate for files, stored directory entries ending in "/", "/" as the
// separator, UTF-8 names flagged as such. No ZIP64: archives stay under 4 GiB.

struct DosTime {
    uint16_t time;
    uint16_t date;
};

// Seconds since 1970 (UTC) as a DOS date and time, clamped to 1980-01-01 .. 2107-12-31.
DosTime dos_time_from_unix(int64_t seconds);

class ZipWriter {
  public:
    ZipWriter() = default;
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    [[nodiscard]] bool open(const std::string& path);
    [[nodiscard]] bool add_directory(const std::string& name, DosTime when);  // name ends with "/"
    [[nodiscard]] bool add_file(const std::string& name, std::string_view bytes, DosTime when);
    // Writes the central directory and closes the file.
    [[nodiscard]] bool finish();

    const std::string& error() const { return error_; }

  private:
    struct Entry {
        std::string name;
        uint16_t method;
        uint16_t flags;
        DosTime when;
        uint32_t crc;
        uint32_t compressed;
        uint32_t uncompressed;
        uint32_t external_attributes;
        uint32_t offset;
    };

    [[nodiscard]] bool add_entry(Entry entry, std::string_view data);
    [[nodiscard]] bool write(std::string_view bytes);
    [[nodiscard]] bool fail(std::string why);

    UniqueStdioFile file_;
    uint64_t offset_ = 0;
    std::vector<Entry> entries_;
    std::string error_;
};

// The launcher's record of an entry, with its name.
struct ZipEntryInfo : ZipEntryRecord {
    std::string name;
};

// The launcher's random access over bytes in memory; *bytes must outlive the source.
ZipSource zip_source_in_memory(const std::string_view* bytes);

// The central directory of a whole archive held in memory, read by the launcher's own reader.
[[nodiscard]] bool read_zip_directory(std::string_view archive, std::vector<ZipEntryInfo>* entries,
                                      std::string* error);

// The bytes of one entry, inflated and checked against its CRC.
[[nodiscard]] bool read_zip_entry(std::string_view archive, const ZipEntryInfo& entry,
                                  std::string* bytes, std::string* error);

}  // namespace velda
