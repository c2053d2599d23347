#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// What a to-file GET keeps of a body that stopped arriving, so that a later attempt asks only for
// the rest ("Range: bytes=<have>-") on condition that the body is still the same one
// ("If-Range: <validator>").

inline constexpr size_t kValidatorSize = 256;

struct PartialDownload {
    uint64_t have = 0;   // body bytes already in the temporary file
    uint64_t total = 0;  // the whole body's length as the first answer announced it; 0: unknown
    // The first answer's strong ETag, else its Last-Modified; empty when it had neither.
    char validator[kValidatorSize] = {};
};

// Only a body of known length with a validator can be continued: anything else could splice
// two versions of the file.
[[nodiscard]] bool partial_can_continue(const PartialDownload& partial);

// Picks what If-Range will send: a strong ETag, else Last-Modified. Either may be null or empty.
// False, with out empty, when neither fits (a weak ETag never does; one too long for out, or
// holding a byte outside printable ASCII, neither).
[[nodiscard]] bool choose_validator(const char* etag, const char* last_modified,
                                    char out[kValidatorSize]);

// "bytes <first>-<last>/<total>"; total_known is false for "/*".
struct ContentRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t total = 0;
    bool total_known = false;
};

[[nodiscard]] bool parse_content_range(const char* text, ContentRange* range);

enum class AnswerUse {
    Continue,  // 206 for exactly the rest of the same body: append to the temporary file
    Restart,   // a whole body: the temporary file starts again from 0
    Refuse,    // a part that is not the one asked: the attempt fails and the partial is dropped
};

// How to use an answer. asked is what the request continued (a Range was sent exactly when
// partial_can_continue(asked)); the header texts are null when the answer lacked them.
[[nodiscard]] AnswerUse judge_answer(const PartialDownload& asked, uint32_t status,
                                     const char* content_range, const char* etag,
                                     const char* last_modified);

}  // namespace velda
