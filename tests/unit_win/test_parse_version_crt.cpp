// Differential test: parse_version against the Windows C runtime's own sscanf.
#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>

#include "manifest/manifest.h"

using namespace velda;

namespace {

using CrtSscanf = int(__cdecl*)(const char*, const char*, ...);

CrtSscanf crt_sscanf() {
    // The runtime's own export, not the MinGW replacement that the headers may pick.
    HMODULE crt = LoadLibraryA("msvcrt.dll");
    // Through void* because FARPROC and a variadic function type are unrelated to the compiler.
    void* address = crt ? reinterpret_cast<void*>(GetProcAddress(crt, "sscanf")) : nullptr;
    return reinterpret_cast<CrtSscanf>(address);
}

// A text is parsable when sscanf gives 3 and no number is negative.
bool crt_accepts(CrtSscanf scan, const std::string& text, VersionTriple* triple) {
    int major = 0;
    int minor = 0;
    int patch = 0;
    char rest[8] = {};
    int converted = scan(text.c_str(), "%d.%d.%d%7s", &major, &minor, &patch, rest);
    *triple = {major, minor, patch};
    return converted == 3 && major >= 0 && minor >= 0 && patch >= 0;
}

std::string random_version_text(std::mt19937& random) {
    static const char* const pieces[] = {"0", "1", "7", "12", "007",   "99999", ".",  ".",
                                         ".", ".", " ", "\t", "\n",    "\v",    "\f", "\r",
                                         "+", "-", "a", "v",  "-beta", "x",     "..", "2147483647"};
    std::uniform_int_distribution<size_t> count(0, 9);
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    std::string text;
    for (size_t i = count(random); i > 0; --i) {
        text += pieces[pick(random)];
    }
    return text;
}

// Mostly well-formed triples with noise around them, so that both sides are exercised.
std::string random_near_version(std::mt19937& random) {
    static const char* const blanks[] = {"", "", "", " ", "\t", "\n", " \r\n", "\v\f"};
    static const char* const signs[] = {"", "", "", "+", "-"};
    static const char* const tails[] = {"", "", " ", "\r\n", "x", "-rc1", ".4", " 5"};
    static const char* const dots[] = {".", ".", ".", ". ", " ."};
    std::uniform_int_distribution<int> number(0, 1200);
    auto any = [&random](const auto& table) {
        std::uniform_int_distribution<size_t> pick(0, std::size(table) - 1);
        return std::string(table[pick(random)]);
    };
    std::string text;
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            text += any(dots);
        }
        text += any(blanks) + any(signs) + std::to_string(number(random));
    }
    return text + any(tails);
}

// Numbers beyond 32 bits are refused on purpose; the runtimes disagree among themselves there.
bool has_out_of_range_number(const std::string& text) {
    unsigned long long value = 0;
    bool in_digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            value = in_digits ? value * 10 + static_cast<unsigned>(c - '0')
                              : static_cast<unsigned>(c - '0');
            in_digits = true;
            if (value > 2147483647ull) {
                return true;
            }
        } else {
            in_digits = false;
        }
    }
    return false;
}

TEST(ParseVersionDifferential, AgreesWithTheWindowsRuntime) {
    CrtSscanf scan = crt_sscanf();
    ASSERT_NE(scan, nullptr);
    std::mt19937 random(20261208);
    int compared = 0;
    for (int i = 0; i < 40000; ++i) {
        std::string text = (i % 2) ? random_version_text(random) : random_near_version(random);
        if (has_out_of_range_number(text)) {
            continue;
        }
        VersionTriple expected{};
        bool crt_ok = crt_accepts(scan, text, &expected);
        VersionTriple actual{};
        bool ours = parse_version(text.c_str(), &actual);
        ASSERT_EQ(ours, crt_ok) << "text: '" << text << "'";
        if (ours) {
            ASSERT_EQ(actual.major, expected.major) << text;
            ASSERT_EQ(actual.minor, expected.minor) << text;
            ASSERT_EQ(actual.patch, expected.patch) << text;
        }
        ++compared;
    }
    EXPECT_GT(compared, 30000);
}

}  // namespace
