#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/busy_file.h"
#include "install/download_retry.h"
#include "net/resume_rules.h"

using namespace velda;

namespace {

TEST(ContentRange, ParsesWhatServersSendAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool parsed;
        uint64_t first = 0, last = 0, total = 0;
        bool total_known = false;
    };
    const Case cases[] = {
        {"bytes 100-199/200", true, 100, 199, 200, true},
        {"BYTES 0-0/1", true, 0, 0, 1, true},
        {"bytes 5-9/*", true, 5, 9, 0, false},
        {"bytes 4294967296-8589934591/8589934592", true, 4294967296u, 8589934591u, 8589934592u,
         true},
        {"bytes 100-199/150", false},  // ends past the total
        {"bytes 200-100/300", false},
        {"bytes */200", false},  // the answer to an unsatisfiable range
        {"bytes 1-2", false},
        {"bytes -2/3", false},
        {"items 1-2/3", false},
        {"bytes 1-2/3x", false},
        {"bytes 1-99999999999999999999/3", false},
        {"", false},
        {nullptr, false},
    };
    for (const Case& c : cases) {
        ContentRange range;
        EXPECT_EQ(parse_content_range(c.text, &range), c.parsed) << (c.text ? c.text : "null");
        if (c.parsed) {
            EXPECT_EQ(range.first, c.first) << c.text;
            EXPECT_EQ(range.last, c.last) << c.text;
            EXPECT_EQ(range.total, c.total) << c.text;
            EXPECT_EQ(range.total_known, c.total_known) << c.text;
        }
    }
}

TEST(Validator, StrongEtagElseLastModified) {
    char out[kValidatorSize];
    EXPECT_TRUE(choose_validator("\"v1\"", "Tue, 08 Dec 2026 10:00:00 GMT", out));
    EXPECT_STREQ(out, "\"v1\"");
    EXPECT_TRUE(choose_validator("W/\"v1\"", "Tue, 08 Dec 2026 10:00:00 GMT", out));
    EXPECT_STREQ(out, "Tue, 08 Dec 2026 10:00:00 GMT");
    EXPECT_FALSE(choose_validator("W/\"v1\"", nullptr, out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(choose_validator("\"a\r\nX: b\"", "", out)) << "no header can be smuggled";
    EXPECT_FALSE(choose_validator(std::string(kValidatorSize, 'a').c_str(), nullptr, out));
}

PartialDownload partial(uint64_t have, uint64_t total, const char* validator) {
    PartialDownload made;
    made.have = have;
    made.total = total;
    std::strcpy(made.validator, validator);
    return made;
}

TEST(JudgeAnswer, ContinuesOnlyTheRestOfTheSameBody) {
    const PartialDownload asked = partial(100, 300, "\"v1\"");
    struct Case {
        PartialDownload asked;
        uint32_t status;
        const char* range;
        const char* etag;
        AnswerUse use;
    };
    const Case cases[] = {
        {asked, 206, "bytes 100-299/300", "\"v1\"", AnswerUse::Continue},
        {asked, 206, "bytes 100-299/300", nullptr, AnswerUse::Continue},
        {asked, 200, nullptr, "\"v1\"", AnswerUse::Restart},  // ignores Range
        {asked, 200, nullptr, "\"v2\"", AnswerUse::Restart},  // If-Range saw a change
        {asked, 206, "bytes 100-299/300", "\"v2\"", AnswerUse::Refuse},
        {asked, 206, "bytes 0-299/300", "\"v1\"", AnswerUse::Refuse},
        {asked, 206, "bytes 100-199/300", "\"v1\"", AnswerUse::Refuse},
        {asked, 206, "bytes 100-399/400", "\"v1\"", AnswerUse::Refuse},
        {asked, 206, "bytes 100-299/*", "\"v1\"", AnswerUse::Refuse},
        {asked, 206, nullptr, "\"v1\"", AnswerUse::Refuse},
        // Nothing to continue, so no Range was sent.
        {partial(0, 300, "\"v1\""), 200, nullptr, "\"v1\"", AnswerUse::Restart},
        {partial(0, 300, "\"v1\""), 206, "bytes 0-299/300", "\"v1\"", AnswerUse::Refuse},
        {partial(100, 300, ""), 200, nullptr, nullptr, AnswerUse::Restart},
        {partial(300, 300, "\"v1\""), 200, nullptr, nullptr, AnswerUse::Restart},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge_answer(c.asked, c.status, c.range, c.etag, nullptr), c.use)
            << c.status << " " << (c.range ? c.range : "-") << " " << (c.etag ? c.etag : "-")
            << " have " << c.asked.have;
    }
}

TEST(JudgeAnswer, LastModifiedServesWhenThereIsNoEtag) {
    const char* date = "Tue, 08 Dec 2026 10:00:00 GMT";
    const PartialDownload asked = partial(10, 20, date);
    EXPECT_EQ(judge_answer(asked, 206, "bytes 10-19/20", nullptr, date), AnswerUse::Continue);
    EXPECT_EQ(judge_answer(asked, 206, "bytes 10-19/20", nullptr, "Wed, 09 Dec 2026 10:00:00 GMT"),
              AnswerUse::Refuse);
}

TEST(DownloadRetry, FourAttemptsWithGrowingWaits) {
    EXPECT_EQ(kDownloadAttempts, 4);
    EXPECT_EQ(wait_before_attempt_ms(1), 0u);
    EXPECT_EQ(wait_before_attempt_ms(2), 1000u);
    EXPECT_EQ(wait_before_attempt_ms(3), 2000u);
    EXPECT_EQ(wait_before_attempt_ms(4), 4000u);
    char line[96];
    format_retry_line(3, line, sizeof line);
    EXPECT_STREQ(line, "Reintentando descarga (intento 3 de 4)...");
}

TEST(DownloadRetry, HeadwayStartsTheCountAgain) {
    AttemptCount attempts;
    EXPECT_EQ(attempts.number(), 1);
    // Cut every 8 MiB: each attempt brings more, so every retry is the second attempt.
    for (uint64_t have = 8; have < 64; have += 8) {
        ASSERT_TRUE(attempts.next(have << 20));
        EXPECT_EQ(attempts.number(), 2);
    }
    // No headway: attempts 3 and 4, then none; falling back is no headway either.
    EXPECT_TRUE(attempts.next(56u << 20));
    EXPECT_TRUE(attempts.next(0));
    EXPECT_EQ(attempts.number(), 4);
    EXPECT_FALSE(attempts.next(56u << 20));

    // A trickle that stalls brings a few bytes each time: no headway.
    AttemptCount trickle;
    for (uint64_t have = 40; trickle.next(have); have += 40) {
        ASSERT_LE(trickle.number(), kDownloadAttempts);
    }
    EXPECT_EQ(trickle.number(), kDownloadAttempts);
}

TEST(DownloadRetry, RetriesWhatAnotherAttemptCanCure) {
    struct Case {
        TransferStage stage;
        uint32_t status;
        uint32_t error;
        bool retried;
    };
    const Case cases[] = {
        {TransferStage::Read, 200, 12030, true},  // connection aborted
        {TransferStage::ReceiveHeaders, 0, 12002, true},
        {TransferStage::Length, 200, 0, true},
        {TransferStage::Status, 416, 0, true},  // the part was dropped: the next try is whole
        {TransferStage::Range, 206, 0, true},
        {TransferStage::Digest, 200, 0, true},
        {TransferStage::Status, 500, 0, true},
        {TransferStage::Status, 503, 0, true},
        {TransferStage::Status, 408, 0, true},
        {TransferStage::Status, 429, 0, true},
        {TransferStage::Status, 404, 0, false},
        {TransferStage::Status, 403, 0, false},
        {TransferStage::Send, 0, 12175, false},  // the certificate is refused
        {TransferStage::Send, 0, 12045, false},
        {TransferStage::Send, 0, 12157, false},
        {TransferStage::Url, 0, 0, false},
        {TransferStage::Replace, 200, 32, false},
        {TransferStage::TooLong, 200, 0, false},  // longer than its bound: the same again
    };
    for (const Case& c : cases) {
        TransferResult result;
        result.stage = c.stage;
        result.http_status = c.status;
        result.win32_error = c.error;
        EXPECT_EQ(worth_another_attempt(result), c.retried)
            << transfer_stage_name(c.stage) << " " << c.status << " " << c.error;
    }
}

TEST(BusyFile, BackoffDoublesToOneSecondAndStopsAtTheLimit) {
    EXPECT_TRUE(is_busy_file_error(5));
    EXPECT_TRUE(is_busy_file_error(32));
    EXPECT_FALSE(is_busy_file_error(2));
    BusyFileBackoff backoff;
    const uint32_t first[] = {50, 100, 200, 400, 800, 1000, 1000};
    uint32_t total = 0;
    for (uint32_t expected : first) {
        uint32_t wait = backoff.next_wait_ms();
        EXPECT_EQ(wait, expected);
        total += wait;
    }
    for (uint32_t wait = backoff.next_wait_ms(); wait != 0; wait = backoff.next_wait_ms()) {
        EXPECT_LE(wait, 1000u);
        total += wait;
    }
    EXPECT_EQ(total, kBusyFileLimitMs);
    EXPECT_EQ(backoff.next_wait_ms(), 0u);
}

}  // namespace
