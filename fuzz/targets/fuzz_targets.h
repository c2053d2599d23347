#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Each target returns 0 when every invariant held for the input and non-zero, after printing
// what broke, otherwise. libFuzzer aborts on non-zero; the unit tests replay the kept corpora.
int fuzz_json_extract_string(const uint8_t* data, size_t size);
int fuzz_parse_version(const uint8_t* data, size_t size);
int fuzz_url_filename(const uint8_t* data, size_t size);
int fuzz_changed_files_rules(const uint8_t* data, size_t size);
int fuzz_progress_lines(const uint8_t* data, size_t size);
int fuzz_settings_language(const uint8_t* data, size_t size);
int fuzz_zip_directory(const uint8_t* data, size_t size);
int fuzz_der_signature(const uint8_t* data, size_t size);
int fuzz_file_digests(const uint8_t* data, size_t size);
int fuzz_commit_record(const uint8_t* data, size_t size);
int fuzz_release_details(const uint8_t* data, size_t size);
int fuzz_accepted_release(const uint8_t* data, size_t size);
int fuzz_patch_index(const uint8_t* data, size_t size);
int fuzz_delta_patch(const uint8_t* data, size_t size);

struct FuzzTarget {
    const char* name;  // also the folder of its corpus
    int (*run)(const uint8_t* data, size_t size);
};

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"json_extract_string", fuzz_json_extract_string},
    {"parse_version", fuzz_parse_version},
    {"url_filename", fuzz_url_filename},
    {"changed_files_rules", fuzz_changed_files_rules},
    {"progress_lines", fuzz_progress_lines},
    {"settings_language", fuzz_settings_language},
    {"zip_directory", fuzz_zip_directory},
    {"der_signature", fuzz_der_signature},
    {"file_digests", fuzz_file_digests},
    {"commit_record", fuzz_commit_record},
    {"release_details", fuzz_release_details},
    {"accepted_release", fuzz_accepted_release},
    {"patch_index", fuzz_patch_index},
    {"delta_patch", fuzz_delta_patch},
};

inline int fuzz_failure(const char* target, const char* what) {
    std::fprintf(stderr, "fuzz %s: %s\n", target, what);
    return 1;
}

// The input up to its first NUL, as the C string functions see it.
inline std::string fuzz_c_text(const uint8_t* data, size_t size) {
    size_t length = 0;
    while (length < size && data[length] != 0) {
        ++length;
    }
    return std::string(reinterpret_cast<const char*>(data), length);
}

// trim_in_place as the settings, stamp and list rules define it, written apart from it.
inline std::string fuzz_model_trim(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text.erase(0, 3);
    }
    const char* blanks = "\t\n\r ";
    size_t last = text.find_last_not_of(blanks);
    if (last == std::string::npos) {
        return std::string();
    }
    text.erase(last + 1);
    return text.substr(text.find_first_not_of(blanks));
}
