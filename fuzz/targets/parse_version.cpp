// parse_version against the C library's sscanf("%d.%d.%d%7s"), where that is glibc's: accepted
// exactly when sscanf converts three numbers, none negative. Elsewhere only the round trip holds.
#include <climits>
#include <cstdio>
#include <cstring>

#include "fuzz_targets.h"
#include "manifest/manifest.h"

using namespace velda;

#if defined(__GLIBC__)
namespace {

// Such numbers are refused on purpose, and C libraries disagree among themselves there.
bool has_digit_run_beyond_int32(const std::string& text) {
    unsigned long long value = 0;
    bool in_digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = (in_digits ? value * 10 : 0) + static_cast<unsigned>(c - '0');
            in_digits = true;
            if (value > static_cast<unsigned long long>(INT32_MAX)) {
                return true;
            }
        } else {
            in_digits = false;
        }
    }
    return false;
}

}  // namespace
#endif

int fuzz_parse_version(const uint8_t* data, size_t size) {
    if (std::memchr(data, 0, size) != nullptr) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    VersionTriple triple{-1, -1, -1};
    bool parsed = parse_version(text.c_str(), &triple);
    if (parsed) {
        if (triple.major < 0 || triple.minor < 0 || triple.patch < 0) {
            return fuzz_failure("parse_version", "accepted a negative number");
        }
        char canonical[48];
        std::snprintf(canonical, sizeof(canonical), "%d.%d.%d", static_cast<int>(triple.major),
                      static_cast<int>(triple.minor), static_cast<int>(triple.patch));
        VersionTriple again{};
        if (!parse_version(canonical, &again) || again.major != triple.major ||
            again.minor != triple.minor || again.patch != triple.patch) {
            return fuzz_failure("parse_version", "the canonical text does not parse the same");
        }
        if (compare_versions(text.c_str(), canonical) != VersionOrder::Equal) {
            return fuzz_failure("parse_version",
                                "a text does not rank equal to its canonical form");
        }
    } else if (compare_versions(text.c_str(), "0.0.0") != VersionOrder::LocalOlder) {
        return fuzz_failure("parse_version", "an unparsable text does not rank below 0.0.0");
    }
#if defined(__GLIBC__)
    if (has_digit_run_beyond_int32(text)) {
        return 0;
    }
    int major = -1;
    int minor = -1;
    int patch = -1;
    char rest[8] = {};
    int converted = std::sscanf(text.c_str(), "%d.%d.%d%7s", &major, &minor, &patch, rest);
    bool accepted = converted == 3 && major >= 0 && minor >= 0 && patch >= 0;
    if (parsed != accepted) {
        return fuzz_failure("parse_version", "verdict differs from glibc sscanf");
    }
    if (parsed && (triple.major != major || triple.minor != minor || triple.patch != patch)) {
        return fuzz_failure("parse_version", "numbers differ from glibc sscanf");
    }
#endif
    return 0;
}
