#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/part_file.h"

using namespace velda;

namespace {

using A = PartAction;
using S = PartState;

// A part of 300 bytes with validator "v1", of which have bytes are on disk.
PartFile kept(uint64_t have, uint64_t total = 300, const char* validator = "\"v1\"") {
    PartialDownload partial;
    partial.total = total;
    std::strcpy(partial.validator, validator);
    PartFile part = PartFile::recorded(partial);
    (void)part.found_on_disk(have);
    return part;
}

PartFile nothing_held() {
    PartFile part;
    (void)part.found_on_disk(0);
    return part;
}

// A whole body of 300 bytes with validator "v2" has started.
PartFile started(const char* etag = "\"v2\"", uint32_t length = 300) {
    PartFile part = nothing_held();
    (void)part.answered(200, nullptr, etag, nullptr, length);
    return part;
}

PartFile continued() {
    PartFile part = kept(100);
    (void)part.answered(206, "bytes 100-299/300", "\"v1\"", nullptr, 200);
    return part;
}

TEST(PartFile, PathBesideTheTargetOrNone) {
    char out[kPathSize];
    ASSERT_TRUE(part_path_of("C:\\v\\pkg.zip", out));
    EXPECT_STREQ(out, "C:\\v\\pkg.zip.velda-part");
    std::string longest(kPathSize - sizeof kPartialDownloadSuffix, 'a');
    EXPECT_TRUE(part_path_of(longest.c_str(), out));
    EXPECT_EQ(std::strlen(out), kPathSize - 1);
    std::string one_more = longest + "a";
    EXPECT_FALSE(part_path_of(one_more.c_str(), out)) << "refused, not cut";
    EXPECT_STREQ(out, "");
}

TEST(PartFile, FoundOnDiskIsKeptOnlyWhenItsRestCanBeAsked) {
    struct Case {
        uint64_t total;
        const char* validator;
        uint64_t size;
        PartAction action;
    };
    const Case cases[] = {
        {300, "\"v1\"", 100, A::Keep},   {300, "\"v1\"", 0, A::Delete},
        {300, "\"v1\"", 300, A::Delete},  // already whole: nothing to ask
        {300, "\"v1\"", 400, A::Delete}, {300, "", 100, A::Delete},
        {0, "\"v1\"", 100, A::Delete},  // length unknown
    };
    for (const Case& c : cases) {
        PartialDownload partial;
        partial.total = c.total;
        std::strcpy(partial.validator, c.validator);
        PartFile part = PartFile::recorded(partial);
        EXPECT_EQ(part.found_on_disk(c.size), c.action) << c.total << " " << c.size;
        bool keeps = c.action == A::Keep;
        EXPECT_EQ(part.state(), keeps ? S::Kept : S::None);
        EXPECT_EQ(part.asks_rest(), keeps);
        EXPECT_EQ(part.have(), keeps ? c.size : 0u);
    }
    PartFile fresh;
    EXPECT_EQ(fresh.found_on_disk(100), A::Delete) << "a part nothing records";
}

TEST(PartFile, OnlyAnUnsatisfiableRangeDropsTheKeptPart) {
    struct Case {
        PartFile part;
        uint32_t status;
        PartAction action;
        PartState state;
    };
    const Case cases[] = {
        {kept(100), 416, A::Delete, S::None},
        {kept(100), 500, A::Keep, S::Kept},
        {kept(100), 404, A::Keep, S::Kept},
        {nothing_held(), 416, A::Keep, S::None},  // no Range was sent
    };
    for (Case c : cases) {
        EXPECT_EQ(c.part.refused(c.status), c.action) << c.status;
        EXPECT_EQ(c.part.state(), c.state) << c.status;
    }
}

TEST(PartFile, AnswerContinuesRestartsOrDrops) {
    struct Case {
        const char* name;
        PartFile part;
        uint32_t status;
        const char* range;
        const char* etag;
        uint32_t length;
        PartAction action;
        PartState state;
        bool keeps_what_arrives;
        uint64_t continued_from;
    };
    const Case cases[] = {
        {"the rest", kept(100), 206, "bytes 100-299/300", "\"v1\"", 200, A::Append, S::Continued,
         true, 100},
        {"the rest, no etag", kept(100), 206, "bytes 100-299/300", nullptr, 200, A::Append,
         S::Continued, true, 100},
        {"changed body", kept(100), 200, nullptr, "\"v2\"", 400, A::RestartFromZero, S::Started,
         true, 0},
        {"whole, no validator", kept(100), 200, nullptr, nullptr, 400, A::RestartFromZero,
         S::Started, false, 0},
        {"whole, weak etag", kept(100), 200, nullptr, "W/\"v2\"", 400, A::RestartFromZero,
         S::Started, false, 0},
        {"whole, no length", kept(100), 200, nullptr, "\"v2\"", 0, A::RestartFromZero, S::Started,
         false, 0},
        {"another range", kept(100), 206, "bytes 50-299/300", "\"v1\"", 250, A::Delete, S::Dropped,
         false, 0},
        {"another version", kept(100), 206, "bytes 100-299/300", "\"v2\"", 200, A::Delete,
         S::Dropped, false, 0},
        {"first body", nothing_held(), 200, nullptr, "\"v1\"", 300, A::Create, S::Started, true, 0},
        {"unasked part", nothing_held(), 206, "bytes 0-9/10", "\"v1\"", 10, A::Delete, S::Dropped,
         false, 0},
        {"plain GET, any 2xx", PartFile::not_resumable(), 206, "bytes 0-9/10", "\"v1\"", 10,
         A::Create, S::Started, false, 0},
    };
    for (Case c : cases) {
        EXPECT_EQ(c.part.answered(c.status, c.range, c.etag, nullptr, c.length), c.action)
            << c.name;
        EXPECT_EQ(c.part.state(), c.state) << c.name;
        EXPECT_EQ(c.part.keeps_what_arrives(), c.keeps_what_arrives) << c.name;
        EXPECT_EQ(c.part.continued_from(), c.continued_from) << c.name;
        if (c.action == A::RestartFromZero || c.action == A::Create) {
            EXPECT_EQ(c.part.have(), 0u) << c.name;
            EXPECT_EQ(c.part.whole_length(), c.keeps_what_arrives ? c.length : 0u) << c.name;
        }
    }
    PartFile by_date = nothing_held();
    (void)by_date.answered(200, nullptr, nullptr, "Tue, 08 Dec 2026 10:00:00 GMT", 300);
    EXPECT_STREQ(by_date.partial().validator, "Tue, 08 Dec 2026 10:00:00 GMT");
}

TEST(PartFile, EndOfTheBodyDigestAndReplace) {
    struct Case {
        const char* name;
        PartFile part;
        uint64_t written;
        PartAction ended;
        PartState state_after;
        bool digest_fails;
        PartAction after_digest;
        bool digest_failure_may_pass;
    };
    const Case cases[] = {
        {"continued whole", continued(), 200, A::Replace, S::Continued, false, A::Replace, true},
        {"continued, wrong digest", continued(), 200, A::Replace, S::Continued, true,
         A::RestartFromZero, true},
        {"started, wrong digest", started(), 300, A::Replace, S::Started, true, A::Delete, false},
        {"continued, cut short", continued(), 50, A::Keep, S::Kept, false, A::Keep, true},
        {"continued, too long", continued(), 250, A::Delete, S::None, false, A::Delete, true},
        {"no length to check", started(nullptr, 0), 10, A::Replace, S::Started, false, A::Replace,
         false},
    };
    for (Case c : cases) {
        c.part.wrote(c.written);
        EXPECT_EQ(c.part.body_ended(), c.ended) << c.name;
        EXPECT_EQ(c.part.state(), c.state_after) << c.name;
        if (c.ended == A::Replace && c.digest_fails) {
            EXPECT_EQ(c.part.digest_failed(), c.after_digest) << c.name;
            EXPECT_EQ(c.part.have(), 0u) << c.name;
        }
        EXPECT_EQ(c.part.digest_failure_may_pass(), c.digest_failure_may_pass) << c.name;
    }
    PartFile whole = continued();
    whole.wrote(200);
    ASSERT_EQ(whole.body_ended(), A::Replace);
    PartFile swap_failed = whole;
    whole.replaced();
    EXPECT_EQ(whole.state(), S::Finished);
    EXPECT_EQ(whole.have(), 0u);
    EXPECT_EQ(swap_failed.replace_failed(), A::Delete);
    EXPECT_EQ(swap_failed.state(), S::None);
}

TEST(PartFile, StoppedAttemptKeepsOnlyWhatCanBeContinued) {
    struct Case {
        const char* name;
        PartFile part;
        uint64_t written;
        PartAction action;
    };
    const Case cases[] = {
        {"started with validator", started(), 120, A::Keep},
        {"started, nothing arrived", started(), 0, A::Delete},
        {"started without validator", started(nullptr), 120, A::Delete},
        {"continued", continued(), 20, A::Keep},
        {"plain GET", PartFile::not_resumable(), 120, A::Delete},
    };
    for (Case c : cases) {
        c.part.wrote(c.written);
        EXPECT_EQ(c.part.attempt_stopped(), c.action) << c.name;
        EXPECT_EQ(c.part.asks_rest(), c.action == A::Keep) << c.name;
    }
    PartFile kept_then_gone = continued();
    EXPECT_EQ(kept_then_gone.append_failed(), A::Delete);
    EXPECT_EQ(kept_then_gone.state(), S::None);
    // A whole body's digest can fail before any byte was hashed (no hash at all): still whole.
    EXPECT_FALSE(started().digest_failure_may_pass());
    EXPECT_TRUE(continued().digest_failure_may_pass());
}

TEST(PartFile, GivenUpKeepsAContinuablePartOnlyWhenAsked) {
    struct Case {
        PartFile part;
        bool keep_for_later_run;
        PartAction action;
    };
    const Case cases[] = {
        {kept(100), true, A::Keep},
        {kept(100), false, A::Delete},
        {nothing_held(), true, A::Delete},
    };
    for (Case c : cases) {
        EXPECT_EQ(c.part.given_up(c.keep_for_later_run), c.action) << c.keep_for_later_run;
        EXPECT_EQ(c.part.have(), c.action == A::Keep ? 100u : 0u);
    }
}

}  // namespace
