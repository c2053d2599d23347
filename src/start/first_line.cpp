#include "start/first_line.h"

namespace velda {

void FirstLine::feed(const char* bytes, size_t count) {
    for (size_t i = 0; i < count && !ended_; ++i) {
        char c = bytes[i];
        if (c == '\r' || c == '\n') {
            ended_ = length_ > 0;
            continue;
        }
        if (length_ + 1 < sizeof(text_)) {
            unsigned char byte = static_cast<unsigned char>(c);
            text_[length_++] = byte < 0x20 || byte == 0x7f ? '?' : c;
        }
    }
}

}  // namespace velda
