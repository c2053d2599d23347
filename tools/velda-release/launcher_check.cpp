#include "launcher_check.h"

#include <cstdio>
#include <optional>

#include "common/launcher_version.h"
#include "launcher/launcher_update.h"
#include "manifest/release_details.h"
#include "pe_version.h"
#include "release_crypto.h"
#include "release_text.h"

namespace velda {

namespace {

void check_launcher_file(const Origin& origin, const OfferedLauncher& offered,
                         std::vector<std::string>* traps) {
    std::string bytes;
    std::string where;
    std::string error;
    if (!origin.get(offered.url, &bytes, &where, &error)) {
        traps->push_back("the launcher " + where + " cannot be fetched (" + error +
                         "): keyed launchers keep themselves");
        return;
    }
    std::printf("  file: %s, %zu bytes\n", where.c_str(), bytes.size());
    if (bytes.size() != offered.size) {
        traps->push_back("the launcher " + where + " is " + std::to_string(bytes.size()) +
                         " bytes, the manifest says " + std::to_string(offered.size));
    }
    std::string digest = release_sha256_hex(bytes);
    std::string expected = offered.sha256;
    for (char& c : expected) {
        c = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if (digest.empty() || digest != expected) {
        traps->push_back("the launcher " + where + " does not match its \"sha256\"");
    }
    std::string version;
    if (!read_executable_version(bytes, &version, &error)) {
        traps->push_back("the launcher " + where + " " + error);
    } else if (version != offered.version) {
        traps->push_back("the launcher " + where + " says it is version " + version +
                         ", the manifest says " + offered.version +
                         ": it would be offered again after every update");
    }
}

const char* offer_text(LauncherOffer offer) {
    switch (offer) {
        case LauncherOffer::Take:
            return "downloads it, starts it in its place and exits; the new launcher then "
                   "updates the product";
        case LauncherOffer::NotNewer:
            return "keeps itself (the offered launcher is not newer) and updates the product";
        case LauncherOffer::None:
        case LauncherOffer::RefusedEarlier:
            break;
    }
    return "keeps itself";
}

}  // namespace

void check_offered_launcher_member(const Origin& origin, const std::string& manifest_text,
                                   const std::string& launcher_version_given,
                                   std::vector<std::string>* traps) {
    std::optional<OfferedLauncher> offered;
    std::string why;
    if (!read_offered_launcher(manifest_text, &offered, &why)) {
        traps->push_back("\"launcher\": " + why + ": keyed launchers keep themselves");
        return;
    }
    if (!offered) {
        return;
    }
    std::printf("The launcher it offers (keyed launchers older than it take it first):\n");
    std::printf("  version %s, %llu bytes, sha256 %s\n  url %s\n", offered->version.c_str(),
                static_cast<unsigned long long>(offered->size), offered->sha256.c_str(),
                printable(offered->url).c_str());
    check_launcher_file(origin, *offered, traps);
    std::string own = launcher_version_given.empty() ? launcher_version() : launcher_version_given;
    std::printf("A keyed launcher at %s %s.\n", own.c_str(),
                offer_text(judge_launcher_offer(offered, own, false, "")));
}

}  // namespace velda
