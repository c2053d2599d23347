#pragma once

#include <cstddef>

namespace velda {

constexpr size_t kFirstLineSize = 256;

// The first line of text in a stream that arrives in chunks: blank lines before it are passed
// over, it ends at its CR or LF, and it keeps at most 255 bytes, each control byte as '?'.
// Everything after it is dropped, so a child that writes without end costs nothing.
class FirstLine {
  public:
    void feed(const char* bytes, size_t count);
    // Empty until a byte of text arrived.
    const char* text() const { return text_; }

  private:
    char text_[kFirstLineSize] = {};
    size_t length_ = 0;
    bool ended_ = false;
};

}  // namespace velda
