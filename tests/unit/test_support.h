#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

// A file of tests/data; under Wine the Linux path is reached through drive Z:.
inline std::string test_data_file(std::string_view relative) {
    std::string path = std::string(VELDA_TEST_DATA_DIR) + "/" + std::string(relative);
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
#endif
    return path;
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string read_whole_file(const std::string& path) {
    std::string content;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return "<missing>";
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), in)) > 0) {
        content.append(buffer, got);
    }
    std::fclose(in);
    return content;
}

inline std::string read_test_data(std::string_view relative) {
    return read_whole_file(test_data_file(relative));
}

// A temporary folder for one test, removed with everything in it.
class TempFolder {
  public:
    TempFolder() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("velda-unit-" + std::to_string(std::rand()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(std::string_view name) const { return (path_ / name).string(); }

    std::string write(std::string_view name, std::string_view content) const {
        std::string full = file(name);
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::FILE* out = std::fopen(full.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), out);
        std::fclose(out);
        return full;
    }

    std::string read(std::string_view name) const { return read_whole_file(file(name)); }

  private:
    std::filesystem::path path_;
};
