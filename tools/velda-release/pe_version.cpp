#include "pe_version.h"

#include <cstdint>
#include <optional>

#include "common/little_endian.h"

namespace velda {

namespace {

constexpr uint32_t kResourceTypeVersion = 16;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoOffset = 40;  // after the header and L"VS_VERSION_INFO", aligned
constexpr size_t kSectionHeaderSize = 40;

// Bounds-checked little-endian reads of the file.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    bool has(size_t at, size_t count) const {
        return at <= bytes_.size() && count <= bytes_.size() - at;
    }
    std::optional<uint32_t> u16(size_t at) const {
        if (!has(at, 2)) {
            return std::nullopt;
        }
        return load_le16(data() + at);
    }
    std::optional<uint32_t> u32(size_t at) const {
        if (!has(at, 4)) {
            return std::nullopt;
        }
        return load_le32(data() + at);
    }

  private:
    const unsigned char* data() const {
        return reinterpret_cast<const unsigned char*>(bytes_.data());
    }
    std::string_view bytes_;
};

struct Sections {
    size_t table = 0;
    uint32_t count = 0;
};

// The file offset of an address of the loaded image, through the section that holds it.
std::optional<size_t> file_offset_of(const Reader& file, const Sections& sections, uint32_t rva) {
    for (uint32_t i = 0; i < sections.count; ++i) {
        size_t header = sections.table + i * kSectionHeaderSize;
        auto address = file.u32(header + 12);
        auto raw_size = file.u32(header + 16);
        auto raw_offset = file.u32(header + 20);
        if (!address || !raw_size || !raw_offset) {
            return std::nullopt;
        }
        if (rva >= *address && rva - *address < *raw_size) {
            return static_cast<size_t>(*raw_offset) + (rva - *address);
        }
    }
    return std::nullopt;
}

// The resource directory's address, and the sections, from the PE headers.
bool read_headers(const Reader& file, Sections* sections, uint32_t* resource_rva,
                  std::string* why) {
    auto mz = file.u16(0);
    auto pe_at = file.u32(0x3c);
    if (!mz || *mz != 0x5a4d || !pe_at || file.u32(*pe_at) != 0x00004550u) {
        *why = "is not a Windows executable (no MZ and PE headers)";
        return false;
    }
    size_t optional_at = *pe_at + 24;
    auto section_count = file.u16(*pe_at + 6);
    auto optional_size = file.u16(*pe_at + 20);
    auto magic = file.u16(optional_at);
    if (!section_count || !optional_size || !magic || (*magic != 0x10b && *magic != 0x20b)) {
        *why = "has PE headers that cannot be read";
        return false;
    }
    size_t directories = optional_at + (*magic == 0x20b ? 112 : 96);
    size_t directory_count_at = optional_at + (*magic == 0x20b ? 108 : 92);
    auto directory_count = file.u32(directory_count_at);
    auto rva = file.u32(directories + 2 * 8);
    if (!directory_count || *directory_count < 3 || !rva || *rva == 0) {
        *why = "has no resources, so no version resource";
        return false;
    }
    sections->table = optional_at + *optional_size;
    sections->count = *section_count;
    *resource_rva = *rva;
    return true;
}

// One level down the resource tree: the entry with the id wanted (any entry when null).
std::optional<uint32_t> resource_entry(const Reader& file, size_t base, size_t directory,
                                       std::optional<uint32_t> wanted_id) {
    auto named = file.u16(base + directory + 12);
    auto ids = file.u16(base + directory + 14);
    if (!named || !ids) {
        return std::nullopt;
    }
    for (uint32_t i = 0; i < *named + *ids; ++i) {
        size_t entry = base + directory + 16 + i * 8;
        auto name = file.u32(entry);
        auto target = file.u32(entry + 4);
        if (!name || !target) {
            return std::nullopt;
        }
        if (!wanted_id || *name == *wanted_id) {
            return *target;
        }
    }
    return std::nullopt;
}

// The version resource's first language: its address and size.
bool find_version_data(const Reader& file, const Sections& sections, uint32_t resource_rva,
                       uint32_t* data_rva, uint32_t* data_size) {
    auto base = file_offset_of(file, sections, resource_rva);
    if (!base) {
        return false;
    }
    auto by_type = resource_entry(file, *base, 0, kResourceTypeVersion);
    if (!by_type || !(*by_type & kSubdirectoryBit)) {
        return false;
    }
    auto by_name = resource_entry(file, *base, *by_type & ~kSubdirectoryBit, std::nullopt);
    if (!by_name || !(*by_name & kSubdirectoryBit)) {
        return false;
    }
    auto by_language = resource_entry(file, *base, *by_name & ~kSubdirectoryBit, std::nullopt);
    if (!by_language || (*by_language & kSubdirectoryBit)) {
        return false;
    }
    auto rva = file.u32(*base + *by_language);
    auto size = file.u32(*base + *by_language + 4);
    if (!rva || !size) {
        return false;
    }
    *data_rva = *rva;
    *data_size = *size;
    return true;
}

}  // namespace

bool read_executable_version(std::string_view bytes, std::string* version, std::string* why) {
    Reader file(bytes);
    Sections sections;
    uint32_t resource_rva = 0;
    if (!read_headers(file, &sections, &resource_rva, why)) {
        return false;
    }
    uint32_t data_rva = 0;
    uint32_t data_size = 0;
    auto data = std::optional<size_t>();
    if (find_version_data(file, sections, resource_rva, &data_rva, &data_size)) {
        data = file_offset_of(file, sections, data_rva);
    }
    if (!data || data_size < kFixedInfoOffset + 16 ||
        file.u32(*data + kFixedInfoOffset) != kFixedInfoSignature) {
        *why = "has no version resource";
        return false;
    }
    auto most = file.u32(*data + kFixedInfoOffset + 8);
    auto least = file.u32(*data + kFixedInfoOffset + 12);
    if (!most || !least || (*least & 0xFFFF) != 0) {
        *why = "has a file version that is not major.minor.patch (its fourth number must be 0)";
        return false;
    }
    *version = std::to_string(*most >> 16) + "." + std::to_string(*most & 0xFFFF) + "." +
               std::to_string(*least >> 16);
    return true;
}

}  // namespace velda
