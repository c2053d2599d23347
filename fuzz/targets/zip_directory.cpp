// The package check. A package judged safe must hold no entry that a plain reader of the
// directory (end record nearest the end, ZIP64 where saturated, headers read in a row) would
// place outside the folder, by either way Windows and .NET resolve "..". The verdict must not
// depend on the size of the name buffer. The input is also read as entry names, one a line, of
// a well-formed package: that one is never malformed, and unsafe exactly at its first bad name.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_targets.h"
#include "install/zip_directory.h"
#include "zip_builder.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "zip_directory";

struct Bytes {
    const uint8_t* data;
    size_t size;
};

bool read_bytes(void* context, uint64_t offset, void* out, size_t length) {
    const Bytes* bytes = static_cast<const Bytes*>(context);
    if (offset > bytes->size || length > bytes->size - offset) {
        return false;
    }
    std::memcpy(out, bytes->data + offset, length);
    return true;
}

uint64_t get(const uint8_t* p, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

bool only_dots_and_blanks(const std::string& segment) {
    return segment.find_first_not_of(". ") == std::string::npos;
}

// Joins the name to a folder and resolves it the modern way ("." and ".." exact, trailing dots
// and blanks dropped from the last segment) and the old .NET way (dots and blanks with two dots
// go up). True when both stay strictly inside.
bool stays_inside(const std::string& name) {
    if (name.find(':') != std::string::npos || name.empty() || name[0] == '/' || name[0] == '\\') {
        return false;
    }
    std::vector<std::string> segments;
    std::string segment;
    for (char c : name + "/") {
        if (c == '/' || c == '\\') {
            if (!segment.empty()) {
                segments.push_back(segment);
            }
            segment.clear();
        } else {
            segment += c;
        }
    }
    for (int legacy = 0; legacy < 2; ++legacy) {
        size_t depth = 0;
        for (size_t i = 0; i < segments.size(); ++i) {
            std::string s = segments[i];
            if (i + 1 == segments.size() || legacy != 0) {
                s.erase(s.find_last_not_of(". ") + 1);
                if (legacy != 0 && only_dots_and_blanks(segments[i]) &&
                    std::count(segments[i].begin(), segments[i].end(), '.') >= 2) {
                    s = "..";
                }
            }
            if (s.empty() || s == ".") {
                continue;
            }
            if (s == "..") {
                if (depth == 0) {
                    return false;
                }
                --depth;
            } else {
                ++depth;
            }
        }
        if (depth == 0) {
            return false;  // the folder itself
        }
    }
    return true;
}

// The names a plain reader finds, or false when it would refuse the archive.
bool plain_reader_names(Bytes bytes, std::vector<std::string>* names) {
    if (bytes.size < 22) {
        return false;
    }
    size_t end = bytes.size - 22;
    for (;; --end) {
        if (get(bytes.data + end, 4) == 0x06054b50) {
            break;
        }
        if (end == 0) {
            return false;
        }
    }
    const uint8_t* record = bytes.data + end;
    uint64_t count = get(record + 10, 2);
    uint64_t offset = get(record + 16, 4);
    if (end >= 20 && get(bytes.data + end - 20, 4) == 0x07064b50) {
        uint64_t wide = get(bytes.data + end - 12, 8);
        if (wide > bytes.size || bytes.size - wide < 56 ||
            get(bytes.data + wide, 4) != 0x06064b50) {
            return false;
        }
        if (count == 0xFFFF) {
            count = get(bytes.data + wide + 32, 8);
        }
        if (offset == 0xFFFFFFFF) {
            offset = get(bytes.data + wide + 48, 8);
        }
    }
    uint64_t at = offset;
    while (at <= bytes.size && bytes.size - at >= 46 && get(bytes.data + at, 4) == 0x02014b50) {
        uint64_t name_length = get(bytes.data + at + 28, 2);
        uint64_t rest = name_length + get(bytes.data + at + 30, 2) + get(bytes.data + at + 32, 2);
        if (bytes.size - at - 46 < rest) {
            return false;
        }
        names->emplace_back(reinterpret_cast<const char*>(bytes.data + at + 46), name_length);
        at += 46 + rest;
    }
    return names->size() == count;
}

ZipCheck check_bytes(const std::string& package, char* name, size_t name_size) {
    Bytes bytes{reinterpret_cast<const uint8_t*>(package.data()), package.size()};
    ZipSource source{package.size(), read_bytes, &bytes};
    return check_zip_source(source, name, name_size);
}

// The input's lines as the names of a package written by the book.
int check_written_package(const uint8_t* data, size_t size) {
    constexpr size_t kMaxEntries = 12;
    std::vector<zip_builder::Entry> entries;
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t first_bad = std::string::npos;
    for (size_t start = 0; start <= text.size() && entries.size() < kMaxEntries;) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string name = text.substr(start, end - start).substr(0, 0xFFFF);
        if (first_bad == std::string::npos && !zip_entry_name_is_safe(name.data(), name.size())) {
            first_bad = entries.size();
        }
        entries.push_back({name, "data", ""});
        start = end + 1;
    }
    zip_builder::Layout layout;
    layout.zip64 = (size & 1) != 0;
    layout.comment = (size & 2) != 0 ? "comment" : "";
    std::string package = zip_builder::build_zip(entries, layout);
    std::unique_ptr<char[]> name(new char[300]);
    ZipCheck verdict = check_bytes(package, name.get(), 300);
    if (verdict == ZipCheck::Malformed) {
        return fuzz_failure(kTarget, "a package written by the book was judged malformed");
    }
    if ((verdict == ZipCheck::Safe) != (first_bad == std::string::npos)) {
        return fuzz_failure(kTarget, "the package verdict differs from the verdicts of its names");
    }
    if (verdict == ZipCheck::Unsafe) {
        std::string expected = entries[first_bad].name.substr(0, 299);
        for (char& c : expected) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '?';
            }
        }
        if (expected != name.get()) {
            return fuzz_failure(kTarget, "the bad name reported is not the first bad name");
        }
    }
    return 0;
}

}  // namespace

int fuzz_zip_directory(const uint8_t* data, size_t size) {
    Bytes bytes{data, size};
    ZipSource source{size, read_bytes, &bytes};
    std::unique_ptr<char[]> long_name(new char[300]);
    std::unique_ptr<char[]> short_name(new char[8]);
    std::unique_ptr<char[]> one(new char[1]);
    ZipCheck verdict = check_zip_source(source, long_name.get(), 300);
    if (check_zip_source(source, short_name.get(), 8) != verdict ||
        check_zip_source(source, one.get(), 1) != verdict ||
        check_zip_source(source, nullptr, 0) != verdict) {
        return fuzz_failure(kTarget, "the verdict depends on the name buffer");
    }
    if (std::memchr(long_name.get(), '\0', 300) == nullptr || one[0] != '\0' ||
        std::strncmp(long_name.get(), short_name.get(), std::strlen(short_name.get())) != 0) {
        return fuzz_failure(kTarget, "the bad name is not a terminated prefix of the name");
    }
    if (verdict != ZipCheck::Unsafe && long_name[0] != '\0') {
        return fuzz_failure(kTarget, "a name was reported for a package that is not unsafe");
    }
    if (verdict == ZipCheck::Safe) {
        std::vector<std::string> names;
        if (plain_reader_names(bytes, &names)) {
            for (const std::string& name : names) {
                if (!stays_inside(name)) {
                    return fuzz_failure(kTarget, "a safe package holds an entry that escapes");
                }
            }
        }
    }

    if (check_written_package(data, size) != 0) {
        return 1;
    }

    // The input as one entry name.
    std::string name(reinterpret_cast<const char*>(data), size);
    if (zip_entry_name_is_safe(name.data(), name.size())) {
        if (!stays_inside(name)) {
            return fuzz_failure(kTarget, "a name judged safe leaves the folder");
        }
        std::string nested = "dir/" + name;
        std::string as_folder = name + "/";
        if (!zip_entry_name_is_safe(nested.data(), nested.size()) ||
            !zip_entry_name_is_safe(as_folder.data(), as_folder.size())) {
            return fuzz_failure(kTarget, "a safe name stops being safe inside a folder");
        }
    }
    return 0;
}
