#include "common/scan.h"

namespace velda {

bool is_scanf_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool scan_decimal(const char** cursor, uint64_t limit, bool* negative, uint64_t* magnitude) {
    const char* p = *cursor;
    while (is_scanf_space(*p)) {
        ++p;
    }
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= limit) {
            value = value * 10u + static_cast<uint64_t>(*p - '0');
            if (value > limit) {
                value = limit + 1;
            }
        }
    }
    *magnitude = value;
    *cursor = p;
    return true;
}

}  // namespace velda
