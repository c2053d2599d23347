#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstddef>

#include "net/resume_rules.h"

namespace velda {

// A numeric header (WINHTTP_QUERY_STATUS_CODE, _CONTENT_LENGTH, ...); false when it is absent.
[[nodiscard]] bool query_number(HINTERNET request, DWORD level, DWORD* value);

// A header's value as printable ASCII in out; false when it is absent, longer than out holds, or
// holds anything else (such a validator could not be sent back as it came).
[[nodiscard]] bool query_text(HINTERNET request, DWORD level, char* out, size_t size);

// The headers that tell whether an answer continues a part; a text is null when the answer
// lacked it, content_length 0 when it announced none.
class ResumeHeaders {
  public:
    explicit ResumeHeaders(HINTERNET request);
    const char* content_range() const { return has_range_ ? range_ : nullptr; }
    const char* etag() const { return has_etag_ ? etag_ : nullptr; }
    const char* last_modified() const { return has_modified_ ? modified_ : nullptr; }
    DWORD content_length() const { return content_length_; }

  private:
    char range_[128] = {};
    char etag_[kValidatorSize] = {};
    char modified_[kValidatorSize] = {};
    bool has_range_ = false;
    bool has_etag_ = false;
    bool has_modified_ = false;
    DWORD content_length_ = 0;
};

}  // namespace velda
