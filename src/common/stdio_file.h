#pragma once

#include <cstdio>
#include <utility>

namespace velda {

// Move-only owner of one stdio stream; closed when the owner ends unless closed before.
class UniqueStdioFile {
  public:
    UniqueStdioFile() = default;
    explicit UniqueStdioFile(std::FILE* file) : file_(file) {}
    ~UniqueStdioFile() { static_cast<void>(close()); }

    UniqueStdioFile(const UniqueStdioFile&) = delete;
    UniqueStdioFile& operator=(const UniqueStdioFile&) = delete;
    UniqueStdioFile(UniqueStdioFile&& other) noexcept : file_(other.release()) {}
    UniqueStdioFile& operator=(UniqueStdioFile&& other) noexcept {
        if (this != &other) {
            static_cast<void>(close());
            file_ = other.release();
        }
        return *this;
    }

    std::FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* release() { return std::exchange(file_, nullptr); }

    // Closes now, for callers that must know the buffered bytes reached the file, or that
    // delete it next. True when nothing was open.
    [[nodiscard]] bool close() {
        std::FILE* file = release();
        return file == nullptr || std::fclose(file) == 0;
    }

  private:
    std::FILE* file_ = nullptr;
};

// fopen with an owner: empty when the file could not be opened.
inline UniqueStdioFile open_file(const char* path, const char* mode) {
    return UniqueStdioFile(std::fopen(path, mode));
}

#ifdef _WIN32
// A UTF-16 path reaches any name, whatever the ANSI code page holds.
inline UniqueStdioFile open_file(const wchar_t* path, const char* mode) {
    wchar_t wide_mode[8] = {};
    for (size_t i = 0; mode[i] != '\0' && i + 1 < sizeof(wide_mode) / sizeof(wide_mode[0]); ++i) {
        wide_mode[i] = static_cast<wchar_t>(mode[i]);
    }
    return UniqueStdioFile(_wfopen(path, wide_mode));
}
#endif

}  // namespace velda
