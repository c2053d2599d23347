#include "net/part_file.h"

#include <cstring>

#include "common/text.h"

namespace velda {

namespace {

constexpr uint32_t kRangeNotSatisfiable = 416;

}  // namespace

bool part_path_of(const char* target, char out[kPathSize]) {
    if (std::strlen(target) + sizeof kPartialDownloadSuffix > kPathSize) {
        out[0] = '\0';
        return false;
    }
    format_bounded(out, kPathSize, "%s%s", target, kPartialDownloadSuffix);
    return true;
}

PartFile PartFile::recorded(const PartialDownload& partial) {
    PartFile part;
    part.partial_ = partial;
    part.partial_.have = 0;
    return part;
}

PartFile PartFile::not_resumable() {
    PartFile part;
    part.resumable_ = false;
    return part;
}

PartAction PartFile::found_on_disk(uint64_t size) {
    continued_from_ = 0;
    partial_.have = size;
    if (!can_continue()) {
        forget(PartState::None);
        return PartAction::Delete;
    }
    state_ = PartState::Kept;
    return PartAction::Keep;
}

PartAction PartFile::refused(uint32_t status) {
    if (state_ == PartState::Kept && status == kRangeNotSatisfiable) {
        forget(PartState::None);
        return PartAction::Delete;
    }
    return PartAction::Keep;
}

PartAction PartFile::answered(uint32_t status, const char* content_range, const char* etag,
                              const char* last_modified, uint32_t content_length) {
    if (!resumable_) {
        state_ = PartState::Started;
        return PartAction::Create;
    }
    switch (judge_answer(partial_, status, content_range, etag, last_modified)) {
        case AnswerUse::Continue:
            continued_from_ = partial_.have;
            state_ = PartState::Continued;
            return PartAction::Append;
        case AnswerUse::Refuse:
            forget(PartState::Dropped);  // Never continued by a part of unknown origin.
            return PartAction::Delete;
        case AnswerUse::Restart:
            break;
    }
    return start_new_body(etag, last_modified, content_length);
}

PartAction PartFile::start_new_body(const char* etag, const char* last_modified,
                                    uint32_t content_length) {
    // Whatever the part held belongs to another answer.
    PartAction action =
        state_ == PartState::Kept ? PartAction::RestartFromZero : PartAction::Create;
    forget(PartState::Started);
    if (choose_validator(etag, last_modified, partial_.validator) && content_length > 0) {
        partial_.total = content_length;
    } else {
        forget(PartState::Started);
    }
    return action;
}

PartAction PartFile::body_ended() {
    // A continued body that announced no length of its own ends where the connection did: only
    // the first answer's length tells a whole file from a cut one.
    if (partial_.total != 0 && partial_.have != partial_.total) {
        return attempt_stopped();
    }
    // Whole now: nothing to continue, whatever follows.
    partial_ = PartialDownload{};
    return PartAction::Replace;
}

PartAction PartFile::digest_failed() {
    if (state_ == PartState::Continued) {
        forget(PartState::None);
        return PartAction::RestartFromZero;
    }
    forget(PartState::Rejected);
    return PartAction::Delete;
}

PartAction PartFile::replace_failed() {
    forget(PartState::None);
    return PartAction::Delete;
}

PartAction PartFile::append_failed() {
    forget(PartState::None);
    return PartAction::Delete;
}

PartAction PartFile::attempt_stopped() {
    if (can_continue()) {
        state_ = PartState::Kept;
        return PartAction::Keep;
    }
    forget(PartState::None);
    return PartAction::Delete;
}

PartAction PartFile::given_up(bool keep_for_later_run) {
    if (keep_for_later_run && can_continue()) {
        state_ = PartState::Kept;
        return PartAction::Keep;
    }
    forget(PartState::None);
    return PartAction::Delete;
}

void PartFile::forget(PartState next) {
    partial_ = PartialDownload{};
    continued_from_ = 0;
    state_ = next;
}

}  // namespace velda
