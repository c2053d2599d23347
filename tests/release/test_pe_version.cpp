#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pe_version.h"

using namespace velda;

namespace {

void put(std::string* image, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        (*image)[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

struct Image {
    uint32_t resource_type = 16;  // RT_VERSION
    uint32_t version_most = 0x00010002;
    uint32_t version_least = 0x00030000;
};

// A PE32+ with one section holding the resource tree: type, name 1, language 0x409, and a
// VS_VERSIONINFO whose fixed part carries the file version.
std::string pe_image(const Image& image_fields) {
    std::string image(0x400, '\0');
    put(&image, 0, 0x5a4d, 2);
    put(&image, 0x3c, 0x40, 4);
    put(&image, 0x40, 0x00004550, 4);
    put(&image, 0x46, 1, 2);    // sections
    put(&image, 0x54, 240, 2);  // optional header size
    put(&image, 0x58, 0x20b, 2);
    put(&image, 0x58 + 108, 16, 4);
    put(&image, 0x58 + 112 + 16, 0x1000, 4);  // resource directory
    put(&image, 0x58 + 112 + 20, 0x100, 4);
    size_t section = 0x58 + 240;
    put(&image, section + 8, 0x200, 4);
    put(&image, section + 12, 0x1000, 4);
    put(&image, section + 16, 0x200, 4);
    put(&image, section + 20, 0x200, 4);
    const size_t base = 0x200;
    const uint32_t subdirectory = 0x80000000u;
    put(&image, base + 14, 1, 2);
    put(&image, base + 16, image_fields.resource_type, 4);
    put(&image, base + 20, subdirectory | 0x18, 4);
    put(&image, base + 0x18 + 14, 1, 2);
    put(&image, base + 0x18 + 16, 1, 4);
    put(&image, base + 0x18 + 20, subdirectory | 0x30, 4);
    put(&image, base + 0x30 + 14, 1, 2);
    put(&image, base + 0x30 + 16, 0x409, 4);
    put(&image, base + 0x30 + 20, 0x48, 4);
    put(&image, base + 0x48, 0x1000 + 0x58, 4);
    put(&image, base + 0x48 + 4, 92, 4);
    size_t info = base + 0x58;
    put(&image, info, 92, 2);
    put(&image, info + 2, 52, 2);
    const char key[] = "VS_VERSION_INFO";
    for (size_t i = 0; i < sizeof(key); ++i) {
        put(&image, info + 6 + 2 * i, static_cast<unsigned char>(key[i]), 2);
    }
    put(&image, info + 40, 0xFEEF04BD, 4);
    put(&image, info + 44, 0x00010000, 4);
    put(&image, info + 48, image_fields.version_most, 4);
    put(&image, info + 52, image_fields.version_least, 4);
    return image;
}

TEST(ExecutableVersion, ReadsTheFileVersionOrRefusesTheExecutable) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* version;  // null: refused
    };
    const Case cases[] = {
        {"1.2.3", pe_image({}), "1.2.3"},
        {"large parts", pe_image({16, 0xFFFF000A, 0x00070000}), "65535.10.7"},
        {"fourth number", pe_image({16, 0x00010002, 0x00030001}), nullptr},
        {"no version resource", pe_image({3, 0x00010002, 0x00030000}), nullptr},
        {"cut short", pe_image({}).substr(0, 0x260), nullptr},
        {"not a program", std::string(0x400, 'x'), nullptr},
        {"empty", std::string(), nullptr},
    };
    for (const Case& c : cases) {
        std::string version;
        std::string why;
        bool read = read_executable_version(c.bytes, &version, &why);
        EXPECT_EQ(read, c.version != nullptr) << c.name << ": " << why;
        if (c.version != nullptr) {
            EXPECT_EQ(version, c.version) << c.name;
        } else {
            EXPECT_FALSE(why.empty()) << c.name;
        }
    }
}

}  // namespace
