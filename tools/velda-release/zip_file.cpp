#include "zip_file.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <limits>

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflate = 8;
constexpr uint32_t kDosDirectory = 0x10;
constexpr uint32_t kDosArchive = 0x20;

void put16(std::string* out, uint16_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>(v >> 8));
}

void put32(std::string* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

uint16_t get16(std::string_view in, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(in[at]) |
                                 (static_cast<unsigned char>(in[at + 1]) << 8));
}

uint32_t get32(std::string_view in, size_t at) {
    return static_cast<uint32_t>(get16(in, at)) | (static_cast<uint32_t>(get16(in, at + 2)) << 16);
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
    put32(&header, kLocalSignature);
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
        put32(&directory, kCentralSignature);
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
    put32(&end, kEndSignature);
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

bool read_zip_directory(std::string_view archive, std::vector<ZipEntryInfo>* entries,
                        std::string* error) {
    entries->clear();
    if (archive.size() < 22) {
        *error = "too short for a ZIP archive";
        return false;
    }
    // The end record is within the last 22 + 65535 bytes (its comment is at most 65535).
    size_t lowest = archive.size() > 22 + 0xFFFF ? archive.size() - 22 - 0xFFFF : 0;
    size_t end = std::string_view::npos;
    for (size_t at = archive.size() - 22 + 1; at-- > lowest;) {
        if (get32(archive, at) == kEndSignature) {
            end = at;
            break;
        }
    }
    if (end == std::string_view::npos) {
        *error = "no end of central directory record";
        return false;
    }
    uint16_t count = get16(archive, end + 10);
    uint32_t size = get32(archive, end + 12);
    uint32_t offset = get32(archive, end + 16);
    if (static_cast<uint64_t>(offset) + size > end) {
        *error = "central directory out of bounds";
        return false;
    }
    size_t at = offset;
    for (uint16_t i = 0; i < count; ++i) {
        if (at + 46 > end || get32(archive, at) != kCentralSignature) {
            *error = "bad central directory entry " + std::to_string(i + 1);
            return false;
        }
        ZipEntryInfo info{};
        info.flags = get16(archive, at + 8);
        info.method = get16(archive, at + 10);
        info.crc = get32(archive, at + 16);
        info.compressed_size = get32(archive, at + 20);
        info.uncompressed_size = get32(archive, at + 24);
        uint16_t name_length = get16(archive, at + 28);
        uint16_t extra_length = get16(archive, at + 30);
        uint16_t comment_length = get16(archive, at + 32);
        info.external_attributes = get32(archive, at + 38);
        info.local_header_offset = get32(archive, at + 42);
        size_t next = at + 46 + name_length + extra_length + comment_length;
        if (next > end) {
            *error = "central directory entry " + std::to_string(i + 1) + " out of bounds";
            return false;
        }
        info.name = std::string(archive.substr(at + 46, name_length));
        entries->push_back(std::move(info));
        at = next;
    }
    return true;
}

bool read_zip_entry(std::string_view archive, const ZipEntryInfo& entry, std::string* bytes,
                    std::string* error) {
    size_t at = entry.local_header_offset;
    if (at + 30 > archive.size() || get32(archive, at) != kLocalSignature) {
        *error = "bad local header for " + entry.name;
        return false;
    }
    size_t data = at + 30 + get16(archive, at + 26) + get16(archive, at + 28);
    if (data + entry.compressed_size > archive.size()) {
        *error = "data out of bounds for " + entry.name;
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
