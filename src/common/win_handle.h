#pragma once

#include <windows.h>

#include <utility>

namespace velda {

// Move-only owner of one Win32 handle. Closing keeps the caller's GetLastError value.
template <typename Traits>
class UniqueAny {
  public:
    using Type = typename Traits::Type;

    UniqueAny() = default;
    explicit UniqueAny(Type value) : value_(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    Type get() const { return value_; }
    bool valid() const { return value_ != Traits::empty(); }
    explicit operator bool() const { return valid(); }

    // For out-parameters of creating calls: closes what is held and hands out the slot.
    Type* put() {
        reset();
        return &value_;
    }

    Type release() { return std::exchange(value_, Traits::empty()); }

    void reset(Type value = Traits::empty()) {
        Type old = std::exchange(value_, value);
        if (old != Traits::empty()) {
            DWORD saved_error = GetLastError();
            Traits::close(old);
            SetLastError(saved_error);
        }
    }

  private:
    Type value_ = Traits::empty();
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type value) { CloseHandle(value); }
};

struct FileHandleTraits {
    using Type = HANDLE;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static void close(Type value) { CloseHandle(value); }
};

struct FindHandleTraits {
    using Type = HANDLE;
    static Type empty() { return INVALID_HANDLE_VALUE; }
    static void close(Type value) { FindClose(value); }
};

struct EnvironmentStringsTraits {
    using Type = wchar_t*;
    static Type empty() { return nullptr; }
    static void close(Type value) { FreeEnvironmentStringsW(value); }
};

// Process, thread, mutex, pipe end: empty is null.
using UniqueHandle = UniqueAny<KernelHandleTraits>;
// CreateFile results: empty is INVALID_HANDLE_VALUE.
using UniqueFileHandle = UniqueAny<FileHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
// GetEnvironmentStringsW's copy of the process environment.
using UniqueEnvironmentStrings = UniqueAny<EnvironmentStringsTraits>;

// Owns the two handles of a started child; the thread handle is closed before the process.
struct ChildProcess {
    UniqueHandle process;
    UniqueHandle thread;

    ChildProcess() = default;
    explicit ChildProcess(const PROCESS_INFORMATION& info)
        : process(info.hProcess), thread(info.hThread) {}
    ChildProcess(ChildProcess&&) = default;
    ChildProcess& operator=(ChildProcess&&) = default;
    ~ChildProcess() { close(); }

    void close() {
        thread.reset();
        process.reset();
    }
};

}  // namespace velda
