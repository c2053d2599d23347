#include "net/http_body.h"

#include <cstdlib>
#include <utility>

namespace velda {

HttpBody::~HttpBody() {
    release();
}

HttpBody::HttpBody(HttpBody&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      announced_(std::exchange(other.announced_, 0)),
      max_capacity_(other.max_capacity_) {}

HttpBody& HttpBody::operator=(HttpBody&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        announced_ = std::exchange(other.announced_, 0);
        max_capacity_ = other.max_capacity_;
    }
    return *this;
}

bool HttpBody::begin(uint32_t announced) {
    announced_ = announced;
    if (announced == 0) {
        return true;
    }
    size_t first = announced <= kFirstBlockCap ? announced + size_t{1} : kFirstBlockCap;
    return grow(first < max_capacity_ ? first : max_capacity_);
}

char* HttpBody::room(uint32_t count) {
    size_t needed = size_ + count + 1;
    if (needed > capacity_ && !grow(next_capacity(needed))) {
        return nullptr;
    }
    return data_ + size_;
}

bool HttpBody::finish() {
    if (data_ == nullptr && !grow(1)) {
        return false;
    }
    if (capacity_ > size_ + 1) {
        grow(size_ + 1);
    }
    data_[size_] = '\0';
    return true;
}

size_t HttpBody::next_capacity(size_t needed) const {
    size_t doubled = capacity_ * 2;
    size_t grown = doubled > needed ? doubled : needed;
    // Land exactly on the announced length when the next step reaches it.
    size_t announced_size = announced_ + size_t{1};
    if (announced_ != 0 && announced_size >= needed && announced_size <= grown) {
        return announced_size;
    }
    // A bounded body never takes room past its bound, unless what it holds already needs it.
    size_t ceiling = max_capacity_ > needed ? max_capacity_ : needed;
    return grown < ceiling ? grown : ceiling;
}

bool HttpBody::grow(size_t capacity) {
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) {
        return false;
    }
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

void HttpBody::release() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    announced_ = 0;
}

}  // namespace velda
