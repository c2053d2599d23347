#include <gtest/gtest.h>

#include <string>

#include "launcher/accepted_release.h"
#include "launcher/release_gate.h"

using namespace velda;

namespace {

using R = ReleaseRefusal;

constexpr char kNow[] = "2026-12-09T05:00:00Z";

TEST(ReleaseGate, RefusesOtherProductsExpiredReplayedAndTooOldReleases) {
    const AcceptedRelease accepted = {"1.2.0", "2026-12-01T00:00:00Z"};
    const AcceptedRelease accepted_without_issued = {"1.2.0", ""};
    struct Row {
        const char* name;
        const char* version;
        ReleaseIdentity identity;
        bool identity_read;
        const AcceptedRelease* accepted;
        const char* minimum;
        R refusal;
        bool raises_record;
    };
    const ReleaseIdentity ours = {"velda", "2026-12-08T00:00:00Z", ""};
    const Row rows[] = {
        {"first release", "1.0.0", ours, true, nullptr, "", R::None, true},
        {"older tool's manifest", "1.0.0", {}, true, nullptr, "", R::None, true},
        {"identity unreadable", "1.3.0", {}, false, nullptr, "", R::IdentityUnreadable, false},
        {"another product", "1.3.0", {"other", "", ""}, true, nullptr, "", R::OtherProduct, false},
        {"product differs in case",
         "1.3.0",
         {"Velda", "", ""},
         true,
         nullptr,
         "",
         R::OtherProduct,
         false},
        {"expired a second ago",
         "1.3.0",
         {"velda", "", "2026-12-09T04:59:59Z"},
         true,
         nullptr,
         "",
         R::Expired,
         false},
        {"expires now", "1.3.0", {"velda", "", kNow}, true, nullptr, "", R::Expired, false},
        {"expires in a second",
         "1.3.0",
         {"velda", "", "2026-12-09T05:00:01Z"},
         true,
         nullptr,
         "",
         R::None,
         true},
        {"lower version than accepted", "1.1.0", ours, true, &accepted, "", R::OlderThanAccepted,
         false},
        {"lower version, issued later",
         "1.1.0",
         {"velda", "2027-01-01T00:00:00Z", ""},
         true,
         &accepted,
         "",
         R::OlderThanAccepted,
         false},
        {"same version issued earlier",
         "1.2.0",
         {"velda", "2026-11-30T23:59:59Z", ""},
         true,
         &accepted,
         "",
         R::OlderThanAccepted,
         false},
        {"same version without issued",
         "1.2.0",
         {"velda", "", ""},
         true,
         &accepted,
         "",
         R::OlderThanAccepted,
         false},
        {"same version and issued",
         "1.2.0",
         {"velda", accepted.issued, ""},
         true,
         &accepted,
         "",
         R::None,
         false},
        {"same version issued later",
         "1.2.0",
         {"velda", "2026-12-02T00:00:00Z", ""},
         true,
         &accepted,
         "",
         R::None,
         true},
        {"same version, record without issued", "1.2.0", ours, true, &accepted_without_issued, "",
         R::None, true},
        {"higher version issued earlier",
         "1.10.0",
         {"velda", "2026-01-01T00:00:00Z", ""},
         true,
         &accepted,
         "",
         R::None,
         true},
        {"unparsable version with a record", "x", ours, true, &accepted, "", R::OlderThanAccepted,
         false},
        {"unparsable version without a record", "x", ours, true, nullptr, "", R::None, false},
        {"version with blanks", " 1.3.0", ours, true, nullptr, "", R::None, false},
        {"below the minimum", "1.1.9", ours, true, nullptr, "1.2.0", R::BelowMinimum, false},
        {"at the minimum", "1.2.0", ours, true, nullptr, "1.2.0", R::None, true},
        {"above the minimum", "2.0.0", ours, true, nullptr, "1.2.0", R::None, true},
        {"minimum and an older record", "1.1.0", ours, true, &accepted_without_issued, "1.1.5",
         R::OlderThanAccepted, false},
        {"another product before the record",
         "1.1.0",
         {"other", "", ""},
         true,
         &accepted,
         "",
         R::OtherProduct,
         false},
    };
    for (const Row& row : rows) {
        ReleaseOffer offer = {row.version, row.identity_read ? &row.identity : nullptr};
        ReleaseGate gate = {"velda", row.minimum, row.accepted, kNow};
        EXPECT_EQ(judge_release(offer, gate), row.refusal) << row.name;
        if (row.refusal == R::None) {
            EXPECT_EQ(offer_raises_record(offer, row.accepted), row.raises_record) << row.name;
        }
    }
}

TEST(ReleaseGate, EveryRefusalHasAShortSpanishReason) {
    const std::string expected[] = {"producto o fechas ilegibles", "publicacion de otro producto",
                                    "publicacion caducada", "version anterior a la ya aceptada",
                                    "version inferior a la minima"};
    const R refusals[] = {R::IdentityUnreadable, R::OtherProduct, R::Expired, R::OlderThanAccepted,
                          R::BelowMinimum};
    for (size_t i = 0; i < std::size(refusals); ++i) {
        EXPECT_EQ(release_refusal_reason(refusals[i], ReasonLanguage::Spanish), expected[i]);
        EXPECT_STRNE(release_refusal_reason(refusals[i], ReasonLanguage::English), "");
    }
}

TEST(AcceptedRelease, ReadsItsOwnTextAndNothingDoubtful) {
    struct Row {
        const char* name;
        std::string text;
        bool read;
        AcceptedRelease record;
    };
    const AcceptedRelease full = {"1.2.0", "2026-12-09T05:00:00Z"};
    const Row rows[] = {
        {"as written", accepted_release_text(full), true, full},
        {"without issued", accepted_release_text({"1.2.0", ""}), true, {"1.2.0", ""}},
        {"CRLF, no last line end",
         "velda-accepted 1\r\nissued 2026-12-09T05:00:00Z\r\nversion 1.2.0", true, full},
        {"empty", "", false, {}},
        {"another format", "velda-accepted 2\nversion 1.2.0\n", false, {}},
        {"no version", "velda-accepted 1\nissued 2026-12-09T05:00:00Z\n", false, {}},
        {"version twice", "velda-accepted 1\nversion 1.2.0\nversion 1.3.0\n", false, {}},
        {"unknown line", "velda-accepted 1\nversion 1.2.0\nproduct velda\n", false, {}},
        {"blank line", "velda-accepted 1\nversion 1.2.0\n\n", false, {}},
        {"unparsable version", "velda-accepted 1\nversion one\n", false, {}},
        {"version with blanks", "velda-accepted 1\nversion 1.2.0 \r\r\n", false, {}},
        {"version with a NUL", std::string("velda-accepted 1\nversion 1.2.0\0x\n", 33), false, {}},
        {"cut issued", "velda-accepted 1\nversion 1.2.0\nissued 2026-12-09T05:0\n", false, {}},
    };
    for (const Row& row : rows) {
        AcceptedRelease record = {"junk", "junk"};
        EXPECT_EQ(read_accepted_release(row.text, &record), row.read) << row.name;
        EXPECT_EQ(record, row.record) << row.name;
    }
    EXPECT_EQ(accepted_release_text(full),
              "velda-accepted 1\nversion 1.2.0\nissued 2026-12-09T05:00:00Z\n");
}

}  // namespace
