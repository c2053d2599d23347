#include "net/http_headers_win.h"

#include "common/text.h"

namespace velda {

bool query_number(HINTERNET request, DWORD level, DWORD* value) {
    DWORD size = sizeof *value;
    return WinHttpQueryHeaders(request, level | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                               WINHTTP_NO_HEADER_INDEX) != FALSE;
}

bool query_text(HINTERNET request, DWORD level, char* out, size_t size) {
    wchar_t wide[kValidatorSize] = {};
    DWORD bytes = sizeof wide;
    if (!WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, wide, &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    size_t units = bytes / sizeof(wchar_t);
    if (units >= size) {
        return false;
    }
    for (size_t i = 0; i < units; ++i) {
        if (!is_printable_ascii(wide[i])) {
            return false;
        }
        out[i] = static_cast<char>(wide[i]);
    }
    out[units] = '\0';
    return true;
}

ResumeHeaders::ResumeHeaders(HINTERNET request) {
    has_range_ = query_text(request, WINHTTP_QUERY_CONTENT_RANGE, range_, sizeof range_);
    has_etag_ = query_text(request, WINHTTP_QUERY_ETAG, etag_, sizeof etag_);
    has_modified_ = query_text(request, WINHTTP_QUERY_LAST_MODIFIED, modified_, sizeof modified_);
    if (!query_number(request, WINHTTP_QUERY_CONTENT_LENGTH, &content_length_)) {
        content_length_ = 0;
    }
}

}  // namespace velda
