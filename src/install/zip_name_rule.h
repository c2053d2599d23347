#pragma once

#include <cstddef>

namespace velda {

// The name rule, fed byte by byte so that names of any length need no buffer.
class ZipNameRule {
  public:
    void feed(unsigned char c) {
        if (first_ && (c == '/' || c == '\\')) {
            bad_ = true;  // rooted, and "\\server\share" too
        }
        first_ = false;
        if (c < 0x20 || c == ':') {
            bad_ = true;
        }
        if (c == '/' || c == '\\') {
            end_segment();
            return;
        }
        ++segment_length_;
        if (c == '.') {
            ++segment_dots_;
        } else if (c != ' ') {
            only_dots_and_blanks_ = false;
        }
    }

    [[nodiscard]] bool finish() {
        end_segment();
        return !bad_ && names_something_;
    }

  private:
    // Windows drops trailing dots and blanks, and older .NET path handling reads "...", ". ."
    // and ".. " as the parent: every segment of dots and blanks with two dots goes up.
    void end_segment() {
        if (segment_length_ > 0) {
            if (!only_dots_and_blanks_) {
                names_something_ = true;
            } else if (segment_dots_ >= 2) {
                bad_ = true;
            }
        }
        segment_length_ = 0;
        segment_dots_ = 0;
        only_dots_and_blanks_ = true;
    }

    bool first_ = true;
    bool bad_ = false;
    bool names_something_ = false;
    size_t segment_length_ = 0;
    size_t segment_dots_ = 0;
    bool only_dots_and_blanks_ = true;
};

}  // namespace velda
