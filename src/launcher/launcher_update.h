#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "manifest/release_details.h"

namespace velda {

// A keyed launcher that a release offers a newer launcher downloads it beside itself, leaves a
// record of the hand-over there and starts it; the new one renames itself over the old file.
// Until that one rename VeldaLauncher.exe is the old launcher, whole; after it, the new one.
inline constexpr char kLauncherFileName[] = "VeldaLauncher.exe";
inline constexpr char kNewLauncherFileName[] = "VeldaLauncher.new.exe";
inline constexpr char kHandOverRecordName[] = "VeldaLauncher.handover";
// Set for the new launcher only, to the old one's process id; the new one removes it at once.
inline constexpr char kHandOverVariable[] = "VELDA_LAUNCHER_HANDOVER";

// "version=1.1.0\nstate=pending\n": pending until the new launcher took over; failed once a
// later run found it cut off, so that the same version is not taken again.
struct HandOverRecord {
    std::string version;
    bool failed = false;

    bool operator==(const HandOverRecord&) const = default;
};

[[nodiscard]] std::string format_hand_over_record(const HandOverRecord& record);
// False for anything but what format_hand_over_record writes, with a version that parses.
[[nodiscard]] bool parse_hand_over_record(std::string_view text, HandOverRecord* out);

// What a record found at the start of a run (not one started by a hand-over) means.
enum class LeftoverHandOver {
    None,      // no record
    Finished,  // it names this launcher, or an older one: remove it and the new file silently
    CutOff,    // a newer launcher never took over: log it, remove its file, mark it failed
    Refused,   // marked failed by an earlier run: keep it, do not take that version again
};

[[nodiscard]] LeftoverHandOver judge_leftover_hand_over(const HandOverRecord* record,
                                                        std::string_view own_version);

enum class LauncherOffer {
    None,            // no launcher offered, or this run came from a hand-over
    NotNewer,        // the offered launcher is not newer than this one
    RefusedEarlier,  // a hand-over to exactly this version failed before
    Take,
};

// refused_version: the version of a failed hand-over ("" for none).
[[nodiscard]] LauncherOffer judge_launcher_offer(const std::optional<OfferedLauncher>& offered,
                                                 std::string_view own_version,
                                                 bool started_by_hand_over,
                                                 std::string_view refused_version);

// The process id a hand-over variable names; 0 for anything but a whole number from 1.
[[nodiscard]] unsigned long hand_over_process_id(const char* variable);

}  // namespace velda
