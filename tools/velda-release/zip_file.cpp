#include "zip_file.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "common/little_endian.h"

namespace velda {

namespace {

constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint32_t kDosDirectory = 0x10;
constexpr uint32_t kDosArchive = 0x20;

void put16(std::string* out, uint16_t v) {
    append_le(out, v, 2);
}

void put32(std::string* out, uint32_t v) {
    append_le(out, v, 4);
}

const unsigned char* bytes_at(std::string_view in, size_t at) {
    return reinterpret_cast<const unsigned char*>(in.data() + at);
}

bool needs_utf8_flag(const std::string& name) {
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return true;
        }
    }
    return false;
}

uint32_t crc_of(std::string_view bytes) {
    uLong crc = crc32(0L, Z_NULL, 0);
    size_t done = 0;
    while (done < bytes.size()) {
        uInt piece = static_cast<uInt>(std::min<size_t>(bytes.size() - done, 1u << 30));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data() + done), piece);
        done += piece;
    }
    return static_cast<uint32_t>(crc);
}

// Raw deflate (no zlib header), as ZIP wants it.
bool deflate_raw(std::string_view in, std::string* out) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return false;
    }
    out->resize(deflateBound(&stream, static_cast<uLong>(in.size())) + 16);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out->data());
    stream.avail_out = static_cast<uInt>(out->size());
    int result = deflate(&stream, Z_FINISH);
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END;
}

bool inflate_raw(std::string_view in, size_t expected, std::string* out) {
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) {
        return false;
    }
    out->assign(expected, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out->data());
    stream.avail_out = static_cast<uInt>(out->size());
    int result = inflate(&stream, Z_FINISH);
    bool ok = result == Z_STREAM_END && stream.total_out == expected;
    inflateEnd(&stream);
    return ok;
}

}  // namespace

DosTime dos_time_from_unix(int64_t seconds) {
    using namespace std::chrono;
    constexpr int64_t kMin = 315532800;   // 1980-01-01
    constexpr int64_t kMax = 4354819199;  // 2107-12-31 23:59:59
    seconds = std::clamp(seconds, kMin, kMax);
    sys_seconds moment{std::chrono::seconds(seconds)};
    sys_days day = floor<days>(moment);
    year_month_day ymd{day};
    hh_mm_ss<std::chrono::seconds> clock{moment - day};
    DosTime out;
    out.date = static_cast<uint16_t>(((static_cast<int>(ymd.year()) - 1980) << 9) |
                                     (static_cast<unsigned>(ymd.month()) << 5) |
                                     static_cast<unsigned>(ymd.day()));
    out.time =
        static_cast<uint16_t>((clock.hours().count() << 11) | (clock.minutes().count() << 5) |
                              (clock.seconds().count() / 2));
    return out;
}

ZipWriter::~ZipWriter() = default;

bool ZipWriter::fail(std::string why) {
    if (error_.empty()) {
        error_ = std::move(why);
    }
    return false;
}

bool ZipWriter::open(const std::string& path) {
    file_ = open_file(path.c_str(), "wb");
    if (!file_) {
        return fail("cannot create " + path);
    }
    return true;
}

bool ZipWriter::write(std::string_view bytes) {
    if (!file_) {
        return fail("the archive is not open");
    }
    if (bytes.empty()) {
        return true;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size()) {
        return fail("cannot write the archive");
    }
    offset_ += bytes.size();
    return true;
}

bool ZipWriter::add_entry(Entry entry, std::string_view data) {
    if (entries_.size() >= 0xFFFF) {
        return fail("more than 65535 entries need ZIP64, which this writer does not make");
    }
    if (entry.name.size() > 0xFFFF) {
        return fail("entry name too long: " + entry.name.substr(0, 64) + "...");
    }
    if (offset_ + 30 + entry.name.size() + data.size() > std::numeric_limits<uint32_t>::max()) {
        return fail("the package would pass 4 GiB, which needs ZIP64");
    }
    entry.offset = static_cast<uint32_t>(offset_);
    std::string header;
    put32(&header, kZipLocalHeaderSignature);
    put16(&header, kVersionNeeded);
    put16(&header, entry.flags);
    put16(&header, entry.method);
    put16(&header, entry.when.time);
    put16(&header, entry.when.date);
    put32(&header, entry.crc);
    put32(&header, entry.compressed);
    put32(&header, entry.uncompressed);
    put16(&header, static_cast<uint16_t>(entry.name.size()));
    put16(&header, 0);
    header += entry.name;
    if (!write(header) || !write(data)) {
        return false;
    }
    entries_.push_back(std::move(entry));
    return true;
}

bool ZipWriter::add_directory(const std::string& name, DosTime when) {
    if (name.empty() || name.back() != '/') {
        return fail("a directory entry must end with /: " + name);
    }
    uint16_t flags = needs_utf8_flag(name) ? kFlagUtf8 : 0;
    return add_entry({name, kMethodStored, flags, when, 0, 0, 0, kDosDirectory, 0}, {});
}

bool ZipWriter::add_file(const std::string& name, std::string_view bytes, DosTime when) {
    if (name.empty() || name.back() == '/') {
        return fail("a file entry needs a name that does not end with /: " + name);
    }
    if (bytes.size() >= std::numeric_limits<uint32_t>::max()) {
        return fail(name + " is 4 GiB or more, which needs ZIP64");
    }
    std::string packed;
    if (!deflate_raw(bytes, &packed)) {
        return fail("deflate failed for " + name);
    }
    uint16_t flags = needs_utf8_flag(name) ? kFlagUtf8 : 0;
    Entry entry{name,
                kMethodDeflate,
                flags,
                when,
                crc_of(bytes),
                static_cast<uint32_t>(packed.size()),
                static_cast<uint32_t>(bytes.size()),
                kDosArchive,
                0};
    return add_entry(std::move(entry), packed);
}

bool ZipWriter::finish() {
    if (!error_.empty()) {
        return false;
    }
    uint64_t directory_offset = offset_;
    std::string directory;
    for (const Entry& entry : entries_) {
        put32(&directory, kZipCentralHeaderSignature);
        put16(&directory, kVersionNeeded);  // made by: MS-DOS attributes, version 2.0
        put16(&directory, kVersionNeeded);
        put16(&directory, entry.flags);
        put16(&directory, entry.method);
        put16(&directory, entry.when.time);
        put16(&directory, entry.when.date);
        put32(&directory, entry.crc);
        put32(&directory, entry.compressed);
        put32(&directory, entry.uncompressed);
        put16(&directory, static_cast<uint16_t>(entry.name.size()));
        put16(&directory, 0);  // extra
        put16(&directory, 0);  // comment
        put16(&directory, 0);  // disk
        put16(&directory, 0);  // internal attributes
        put32(&directory, entry.external_attributes);
        put32(&directory, entry.offset);
        directory += entry.name;
    }
    if (directory_offset + directory.size() + 22 > std::numeric_limits<uint32_t>::max()) {
        return fail("the package would pass 4 GiB, which needs ZIP64");
    }
    std::string end;
    put32(&end, kZipEndSignature);
    put16(&end, 0);
    put16(&end, 0);
    put16(&end, static_cast<uint16_t>(entries_.size()));
    put16(&end, static_cast<uint16_t>(entries_.size()));
    put32(&end, static_cast<uint32_t>(directory.size()));
    put32(&end, static_cast<uint32_t>(directory_offset));
    put16(&end, 0);
    if (!write(directory) || !write(end)) {
        return false;
    }
    return file_.close() || fail("cannot finish writing the archive");
}

namespace {

bool read_from_memory(void* context, uint64_t offset, void* out, size_t length) {
    const std::string_view& bytes = *static_cast<const std::string_view*>(context);
    if (offset > bytes.size() || length > bytes.size() - offset) {
        return false;
    }
    std::memcpy(out, bytes.data() + offset, length);
    return true;
}

struct Listing {
    std::string_view archive;
    std::vector<ZipEntryInfo>* entries;
};

bool add_listed_entry(const ZipEntryRecord& record, void* context) {
    Listing& listing = *static_cast<Listing*>(context);
    ZipEntryInfo info{record,
                      std::string(listing.archive.substr(record.name_offset, record.name_length))};
    listing.entries->push_back(std::move(info));
    return true;
}

}  // namespace

ZipSource zip_source_in_memory(const std::string_view* bytes) {
    return {bytes->size(), read_from_memory, const_cast<std::string_view*>(bytes)};
}

bool read_zip_directory(std::string_view archive, std::vector<ZipEntryInfo>* entries,
                        std::string* error) {
    entries->clear();
    ZipSource source = zip_source_in_memory(&archive);
    Listing listing{archive, entries};
    if (!list_zip_source(source, add_listed_entry, &listing)) {
        entries->clear();
        *error = "its central directory is malformed or it is no ZIP archive";
        return false;
    }
    return true;
}

bool read_zip_entry(std::string_view archive, const ZipEntryInfo& entry, std::string* bytes,
                    std::string* error) {
    uint64_t at = entry.local_header_offset;
    if (at > archive.size() || archive.size() - at < 30 ||
        load_le32(bytes_at(archive, at)) != kZipLocalHeaderSignature) {
        *error = "bad local header for " + entry.name;
        return false;
    }
    uint64_t data =
        at + 30 + load_le16(bytes_at(archive, at + 26)) + load_le16(bytes_at(archive, at + 28));
    if (data > archive.size() || entry.compressed_size > archive.size() - data) {
        *error = "data out of bounds for " + entry.name;
        return false;
    }
    if (entry.uncompressed_size >= std::numeric_limits<uint32_t>::max()) {
        *error = entry.name + " is 4 GiB or more, which this tool does not unpack";
        return false;
    }
    std::string_view packed = archive.substr(data, entry.compressed_size);
    if (entry.method == kMethodStored) {
        *bytes = std::string(packed);
    } else if (entry.method == kMethodDeflate) {
        if (!inflate_raw(packed, entry.uncompressed_size, bytes)) {
            *error = "cannot inflate " + entry.name;
            return false;
        }
    } else {
        *error = "unknown method " + std::to_string(entry.method) + " for " + entry.name;
        return false;
    }
    if (crc_of(*bytes) != entry.crc) {
        *error = "CRC mismatch for " + entry.name;
        return false;
    }
    return true;
}

}  // namespace velda
