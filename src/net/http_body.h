#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// Counters are 32 bits: a body must stay below 4 GiB minus one byte.
inline constexpr uint64_t kHttpBodyLimit = 0xFFFFFFFFull;

// Owns an in-memory response body: one malloc block holding the body and a NUL after it.
// The transfer fills it with begin, room and commit, then finish; growth is geometric, so a
// whole GET costs linear time.
class HttpBody {
  public:
    HttpBody() = default;
    // A body the transfer stops at max_bytes (body_bound.h): the block never grows past them
    // and the NUL.
    explicit HttpBody(uint64_t max_bytes)
        : max_capacity_(max_bytes < kHttpBodyLimit ? max_bytes + 1 : kHttpBodyLimit) {}
    ~HttpBody();
    HttpBody(const HttpBody&) = delete;
    HttpBody& operator=(const HttpBody&) = delete;
    HttpBody(HttpBody&& other) noexcept;
    HttpBody& operator=(HttpBody&& other) noexcept;

    // The body followed by a NUL once finished; null while no room was ever made.
    const char* data() const { return data_; }
    uint32_t size() const { return static_cast<uint32_t>(size_); }
    // Bytes held by the block, the NUL included.
    size_t capacity() const { return capacity_; }

    // The response was accepted; announced is its Content-Length or 0. A length announced by
    // the server is trusted only up to a sensible first block.
    [[nodiscard]] bool begin(uint32_t announced);
    // Room for count more bytes and the NUL, or null when there is none.
    [[nodiscard]] char* room(uint32_t count);
    void commit(uint32_t count) { size_ += count; }
    // Writes the NUL and gives back what growth reserved beyond it (keeping the block if that
    // fails). False only when not even the NUL found room.
    [[nodiscard]] bool finish();

  private:
    static constexpr size_t kFirstBlockCap = 64u << 20;

    size_t next_capacity(size_t needed) const;
    bool grow(size_t capacity);
    void release();

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    uint32_t announced_ = 0;
    size_t max_capacity_ = kHttpBodyLimit;
};

}  // namespace velda
