#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "launcher/launcher_update.h"

using namespace velda;

namespace {

TEST(LauncherUpdate, HandOverRecordRoundTripsAndRefusesAnythingElse) {
    for (bool failed : {false, true}) {
        HandOverRecord record{"1.10.2", failed};
        HandOverRecord read;
        ASSERT_TRUE(parse_hand_over_record(format_hand_over_record(record), &read));
        EXPECT_EQ(read, record);
    }
    EXPECT_EQ(format_hand_over_record({"1.1.0", false}), "version=1.1.0\nstate=pending\n");
    const char* const refused[] = {
        "",
        "version=1.1.0\n",
        "version=1.1.0\nstate=pending",
        "version=1.1.0\nstate=done\n",
        "version=1.1\nstate=pending\n",
        "version=\nstate=failed\n",
        "version=1.1.0\r\nstate=pending\n",
        "version= 1.1.0\nstate=pending\n",
        "version=1.1.0\nstate=pending\nmore\n",
        "state=pending\nversion=1.1.0\n",
    };
    for (const char* text : refused) {
        HandOverRecord read{"9.9.9", true};
        EXPECT_FALSE(parse_hand_over_record(text, &read)) << text;
        EXPECT_EQ(read, (HandOverRecord{"9.9.9", true}));
    }
}

TEST(LauncherUpdate, ALeftoverRecordIsJudgedAgainstTheRunningLauncher) {
    struct Case {
        std::optional<HandOverRecord> record;
        LeftoverHandOver expected;
    };
    const Case cases[] = {
        {std::nullopt, LeftoverHandOver::None},
        {HandOverRecord{"1.0.0", false}, LeftoverHandOver::Finished},
        {HandOverRecord{"0.9.0", false}, LeftoverHandOver::Finished},
        {HandOverRecord{"1.0.0", true}, LeftoverHandOver::Finished},
        {HandOverRecord{"1.1.0", false}, LeftoverHandOver::CutOff},
        {HandOverRecord{"1.0.10", false}, LeftoverHandOver::CutOff},
        {HandOverRecord{"1.1.0", true}, LeftoverHandOver::Refused},
    };
    for (const Case& c : cases) {
        const HandOverRecord* record = c.record ? &*c.record : nullptr;
        EXPECT_EQ(judge_leftover_hand_over(record, "1.0.0"), c.expected)
            << (record ? record->version : "none");
    }
}

TEST(LauncherUpdate, OnlyANewerLauncherIsTakenAndNeverTwiceInARun) {
    auto offer = [](const char* version) {
        return std::optional<OfferedLauncher>(OfferedLauncher{version, "https://h/l.exe", "", 1});
    };
    struct Case {
        std::optional<OfferedLauncher> offered;
        bool started_by_hand_over;
        const char* refused;
        LauncherOffer expected;
    };
    const Case cases[] = {
        {std::nullopt, false, "", LauncherOffer::None},
        {offer("1.1.0"), false, "", LauncherOffer::Take},
        {offer("1.1.0"), true, "", LauncherOffer::None},
        {offer("1.0.0"), false, "", LauncherOffer::NotNewer},
        {offer("0.9.9"), false, "", LauncherOffer::NotNewer},
        {offer("1.1.0"), false, "1.1.0", LauncherOffer::RefusedEarlier},
        {offer("1.2.0"), false, "1.1.0", LauncherOffer::Take},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(judge_launcher_offer(c.offered, "1.0.0", c.started_by_hand_over, c.refused),
                  c.expected)
            << (c.offered ? c.offered->version : "none") << " refused " << c.refused;
    }
}

TEST(LauncherUpdate, HandOverVariableNamesAProcessId) {
    EXPECT_EQ(hand_over_process_id("4242"), 4242u);
    EXPECT_EQ(hand_over_process_id("4294967295"), 4294967295u);
    for (const char* text :
         {static_cast<const char*>(nullptr), "", "0", "12a", "-1", "4294967296", "12345678901"}) {
        EXPECT_EQ(hand_over_process_id(text), 0u) << (text ? text : "null");
    }
}

}  // namespace
