#pragma once

#include <cstdint>

#include "common/path_size.h"
#include "net/resume_rules.h"

namespace velda {

// Suffix of the temporary file beside a to-file GET's target while the body arrives.
inline constexpr char kPartialDownloadSuffix[] = ".velda-part";

// "<target>.velda-part" into out. A path that does not fit is refused, never cut, as a cut one
// would name another file: out is left empty and the result is false.
[[nodiscard]] bool part_path_of(const char* target, char out[kPathSize]);

// Where the part file of a to-file GET is in its life, within one attempt and between attempts.
enum class PartState : uint8_t {
    None,       // nothing is held: the next body starts from 0
    Kept,       // a part of a known body is on disk: the next request asks for its rest
    Continued,  // the answer is the kept part's rest: its bytes are appended
    Started,    // the answer's body starts from 0
    Dropped,    // the answer was not the part's rest: the part is gone and the attempt fails
    Rejected,   // a body that arrived whole does not hash right: the same one would come again
    Finished,   // the body is whole and took the target's place
};

// What the owner of the part file on disk does next.
enum class PartAction : uint8_t {
    Keep,             // leave it as it is
    Delete,           // delete it
    Create,           // nothing is held: write the body from its first byte into a new file
    RestartFromZero,  // what it holds belongs to another body: delete it, start again from 0
    Append,           // open it, hash what it holds, write the rest after it
    Replace,          // the body is whole: it may take the target's place
};

// The life of one download's part file as pure transitions; the platform's file calls only carry
// out the actions they return. Only a resumable part is ever kept or continued; one that is not
// (a plain to-file GET) starts from 0 with every answer and goes whenever an attempt fails.
class PartFile {
  public:
    PartFile() = default;
    // A part that an earlier run recorded (validator and whole length; have is ignored).
    [[nodiscard]] static PartFile recorded(const PartialDownload& partial);
    [[nodiscard]] static PartFile not_resumable();

    PartState state() const { return state_; }
    const PartialDownload& partial() const { return partial_; }
    uint64_t have() const { return partial_.have; }
    // The whole body's length as the first answer announced it; 0: unknown.
    uint64_t whole_length() const { return partial_.total; }
    // The bytes an earlier attempt brought, when this one continues them.
    uint64_t continued_from() const { return state_ == PartState::Continued ? continued_from_ : 0; }

    // Before an attempt, the part file's size on disk (0 when there is none): Keep, and the
    // request asks for the rest, when it can be continued; Delete otherwise, so that nothing of
    // another body is ever appended to.
    [[nodiscard]] PartAction found_on_disk(uint64_t size);
    // Whether the request asks for the rest of the part (Range and If-Range).
    bool asks_rest() const { return state_ == PartState::Kept; }

    // The server answered with a status outside 2xx. A range it cannot satisfy (416) means the
    // part is not the start of what it serves now: Delete. Any other status: Keep.
    [[nodiscard]] PartAction refused(uint32_t status);

    // A 2xx answer; the header texts are null when the answer lacked them, content_length is 0
    // when it announced none. Append: the rest of the same body. Create or RestartFromZero: a
    // whole body, kept if cut when it named a validator and its length (worth a record then, see
    // keeps_what_arrives). Delete: a part that is not the one asked; the attempt fails.
    [[nodiscard]] PartAction answered(uint32_t status, const char* content_range, const char* etag,
                                      const char* last_modified, uint32_t content_length);
    // Bytes of the body reached the part file.
    void wrote(uint64_t count) { partial_.have += count; }
    // Whether what arrived of the current body is worth keeping should the attempt stop.
    bool keeps_what_arrives() const { return partial_.validator[0] != '\0'; }

    // The connection ended the body. Replace when it is whole (the digest is checked before the
    // swap); a continued body that ended short of the first answer's length fails the attempt:
    // Keep, to be continued, or Delete when it passed that length.
    [[nodiscard]] PartAction body_ended();
    // The whole body does not hash to what was expected. One that continued an earlier part may
    // have joined two versions: RestartFromZero. One that came whole: Delete.
    [[nodiscard]] PartAction digest_failed();
    void replaced() { forget(PartState::Finished); }
    [[nodiscard]] PartAction replace_failed();
    // The kept part could not be opened to continue it.
    [[nodiscard]] PartAction append_failed();
    // The attempt stopped with the part file written to but not done with: Keep when it can be
    // continued, Delete otherwise.
    [[nodiscard]] PartAction attempt_stopped();

    // After an attempt that failed at its digest: whether another attempt may bring other bytes.
    // Only a body that joined an earlier part may; a whole body comes the same way again.
    bool digest_failure_may_pass() const {
        return state_ != PartState::Started && state_ != PartState::Rejected;
    }
    // After the last attempt: Keep when keep_for_later_run is set and the part can be continued;
    // otherwise Delete.
    [[nodiscard]] PartAction given_up(bool keep_for_later_run);

  private:
    bool can_continue() const { return resumable_ && partial_can_continue(partial_); }
    PartAction start_new_body(const char* etag, const char* last_modified, uint32_t content_length);
    void forget(PartState next);

    PartState state_ = PartState::None;
    PartialDownload partial_;
    uint64_t continued_from_ = 0;
    bool resumable_ = true;
};

}  // namespace velda
