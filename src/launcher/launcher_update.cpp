#include "launcher/launcher_update.h"

#include <cstdint>
#include <cstring>

#include "manifest/manifest.h"

namespace velda {

namespace {

constexpr std::string_view kVersionKey = "version=";
constexpr std::string_view kPending = "state=pending\n";
constexpr std::string_view kFailed = "state=failed\n";

bool newer_than(std::string_view version, std::string_view own_version) {
    std::string a(version);
    std::string b(own_version);
    return compare_versions(b.c_str(), a.c_str()) == VersionOrder::LocalOlder;
}

}  // namespace

std::string format_hand_over_record(const HandOverRecord& record) {
    return std::string(kVersionKey) + record.version + "\n" +
           std::string(record.failed ? kFailed : kPending);
}

bool parse_hand_over_record(std::string_view text, HandOverRecord* out) {
    size_t line_end = text.find('\n');
    if (text.substr(0, kVersionKey.size()) != kVersionKey || line_end == std::string_view::npos) {
        return false;
    }
    HandOverRecord record;
    record.version = std::string(text.substr(kVersionKey.size(), line_end - kVersionKey.size()));
    std::string_view state = text.substr(line_end + 1);
    if (record.version.size() >= kVersionTextSize ||
        record.version.find_first_not_of("0123456789.") != std::string::npos ||
        !parse_version(record.version.c_str(), nullptr) ||
        (state != kPending && state != kFailed)) {
        return false;
    }
    record.failed = state == kFailed;
    *out = std::move(record);
    return true;
}

LeftoverHandOver judge_leftover_hand_over(const HandOverRecord* record,
                                          std::string_view own_version) {
    if (record == nullptr) {
        return LeftoverHandOver::None;
    }
    if (!newer_than(record->version, own_version)) {
        return LeftoverHandOver::Finished;
    }
    return record->failed ? LeftoverHandOver::Refused : LeftoverHandOver::CutOff;
}

LauncherOffer judge_launcher_offer(const std::optional<OfferedLauncher>& offered,
                                   std::string_view own_version, bool started_by_hand_over,
                                   std::string_view refused_version) {
    if (!offered || started_by_hand_over) {
        return LauncherOffer::None;
    }
    if (!newer_than(offered->version, own_version)) {
        return LauncherOffer::NotNewer;
    }
    if (offered->version == refused_version) {
        return LauncherOffer::RefusedEarlier;
    }
    return LauncherOffer::Take;
}

unsigned long hand_over_process_id(const char* variable) {
    if (variable == nullptr || variable[0] == '\0' || std::strlen(variable) > 10 ||
        std::strspn(variable, "0123456789") != std::strlen(variable)) {
        return 0;
    }
    uint64_t id = 0;
    for (const char* c = variable; *c != '\0'; ++c) {
        id = id * 10 + static_cast<uint64_t>(*c - '0');
    }
    return id <= 0xFFFFFFFFu ? static_cast<unsigned long>(id) : 0;
}

}  // namespace velda
