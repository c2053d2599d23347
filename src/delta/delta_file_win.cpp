#include "delta/delta_file.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/path_size.h"
#include "common/wide.h"
#include "common/win_handle.h"

namespace velda {

namespace {

constexpr size_t kBaseWindow = 16 * 1024;
constexpr size_t kOutputBuffer = 256 * 1024;

// Up to size bytes at the file's current position (offset null) or at offset. The position is
// moved first rather than given in an OVERLAPPED: under Wine that read costs several server
// round trips, which made applying a patch of 2,000 instructions eight times slower.
[[nodiscard]] bool read_file(HANDLE file, uint8_t* out, size_t size, const uint64_t* offset,
                             size_t* got) {
    if (offset != nullptr) {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(*offset);
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
            return false;
        }
    }
    DWORD read = 0;
    BOOL ok = ReadFile(file, out, static_cast<DWORD>(size), &read, nullptr);
    if (!ok && GetLastError() != ERROR_HANDLE_EOF) {
        return false;
    }
    *got = ok ? read : 0;
    return true;
}

class PatchFile final : public DeltaPatchInput {
  public:
    explicit PatchFile(HANDLE file) : file_(file) {}
    bool read(uint8_t* buffer, size_t capacity, size_t* got) override {
        return read_file(file_, buffer, std::min<size_t>(capacity, 1u << 30), nullptr, got);
    }

  private:
    HANDLE file_;
};

// Reads short runs of the base through one small window, since a patch asks for many of them
// close together; long runs straight into the caller's buffer.
class BaseFile final : public DeltaBase {
  public:
    BaseFile(HANDLE file, uint64_t size) : file_(file), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read_at(uint64_t offset, uint8_t* buffer, size_t size) override {
        bool in_window = offset >= window_start_ && offset + size <= window_start_ + window_size_;
        if (!in_window && size >= kBaseWindow / 2) {
            size_t got = 0;
            return read_file(file_, buffer, size, &offset, &got) && got == size;
        }
        while (size > 0) {
            if (offset < window_start_ || offset >= window_start_ + window_size_) {
                if (!load_window(offset)) {
                    return false;
                }
            }
            size_t skip = static_cast<size_t>(offset - window_start_);
            size_t part = std::min(size, window_size_ - skip);
            std::memcpy(buffer, window_.get() + skip, part);
            buffer += part;
            offset += part;
            size -= part;
        }
        return true;
    }

  private:
    [[nodiscard]] bool load_window(uint64_t offset) {
        size_t wanted = static_cast<size_t>(std::min<uint64_t>(kBaseWindow, size_ - offset));
        size_t got = 0;
        if (!read_file(file_, window_.get(), wanted, &offset, &got) || got != wanted ||
            wanted == 0) {
            window_size_ = 0;
            return false;
        }
        window_start_ = offset;
        window_size_ = got;
        return true;
    }

    HANDLE file_;
    uint64_t size_;
    std::unique_ptr<uint8_t[]> window_ = std::make_unique<uint8_t[]>(kBaseWindow);
    uint64_t window_start_ = 0;
    size_t window_size_ = 0;
};

class ResultFile final : public DeltaOutput {
  public:
    explicit ResultFile(HANDLE file) : file_(file) {}
    bool write(const uint8_t* data, size_t size) override {
        while (size > 0) {
            size_t part = std::min(size, kOutputBuffer - used_);
            std::memcpy(buffer_.get() + used_, data, part);
            used_ += part;
            data += part;
            size -= part;
            if (used_ == kOutputBuffer && !flush()) {
                return false;
            }
        }
        return true;
    }

    [[nodiscard]] bool flush() {
        DWORD written = 0;
        bool ok = used_ == 0 ||
                  (WriteFile(file_, buffer_.get(), static_cast<DWORD>(used_), &written, nullptr) &&
                   written == used_);
        used_ = 0;
        return ok;
    }

  private:
    HANDLE file_;
    std::unique_ptr<uint8_t[]> buffer_ = std::make_unique<uint8_t[]>(kOutputBuffer);
    size_t used_ = 0;
};

UniqueFileHandle open_for_reading(const char* path) {
    wchar_t wide[kPathSize];
    if (!ansi_path_to_wide(path, wide, static_cast<int>(kPathSize))) {
        return UniqueFileHandle();
    }
    return UniqueFileHandle(CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

UniqueFileHandle create_for_writing(const char* path) {
    wchar_t wide[kPathSize];
    if (!ansi_path_to_wide(path, wide, static_cast<int>(kPathSize))) {
        return UniqueFileHandle();
    }
    return UniqueFileHandle(CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

DeltaResult apply_delta_patch_file(const char* patch_path, const char* base_path,
                                   const char* result_path, uint64_t result_size) {
    UniqueFileHandle patch_handle = open_for_reading(patch_path);
    if (!patch_handle) {
        return DeltaResult::PatchReadFailed;
    }
    UniqueFileHandle base_handle = open_for_reading(base_path);
    LARGE_INTEGER base_size{};
    if (!base_handle || !GetFileSizeEx(base_handle.get(), &base_size)) {
        return DeltaResult::BaseReadFailed;
    }
    UniqueFileHandle result_handle = create_for_writing(result_path);
    if (!result_handle) {
        return DeltaResult::OutputFailed;
    }
    PatchFile patch(patch_handle.get());
    BaseFile base(base_handle.get(), static_cast<uint64_t>(base_size.QuadPart));
    ResultFile result(result_handle.get());
    DeltaResult applied = apply_delta_patch(patch, base, result_size, result);
    // On the disk before it counts: the commit that follows must never expose a file that a
    // power loss could leave short.
    if (applied == DeltaResult::Applied &&
        (!result.flush() || !FlushFileBuffers(result_handle.get()))) {
        return DeltaResult::OutputFailed;
    }
    return applied;
}

}  // namespace velda
