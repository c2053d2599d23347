#include <gtest/gtest.h>

#include <cstring>

#include "launcher/update_decision.h"

using namespace velda;

namespace {

struct DecisionRow {
    bool stamp_present;
    const char* installed;
    const char* server;
    bool product_present;
    bool update_needed;
    bool local_newer_logged;
};

TEST(UpdateDecision, EveryRowOfTheTable) {
    const DecisionRow rows[] = {
        // No stamp: update, nothing compared, whatever the product.
        {false, "", "1.2.3", true, true, false},
        {false, "", "1.2.3", false, true, false},
        // Both parse.
        {true, "1.2.2", "1.2.3", true, true, false},
        {true, "1.2.2", "1.2.3", false, true, false},
        {true, "1.2.3", "1.2.3", true, false, false},
        {true, "1.2.3", "1.2.3", false, true, false},
        {true, "1.2.10", "1.2.9", true, false, true},
        {true, "1.2.10", "1.2.9", false, true, true},
        // Installed text unparsable (an empty stamp among them).
        {true, "1.2.3-beta", "1.2.3", true, true, false},
        {true, "", "1.2.3", false, true, false},
        // Server text unparsable.
        {true, "1.2.3", "1.2.3-beta", true, false, true},
        {true, "1.2.3", "1.2.3-beta", false, true, true},
        // Neither parses.
        {true, "x", "y", true, false, false},
        {true, "x", "y", false, true, false},
    };
    for (const DecisionRow& row : rows) {
        UpdateDecision decision =
            decide_update(row.stamp_present, row.installed, row.server, row.product_present);
        EXPECT_EQ(decision.update_needed, row.update_needed)
            << row.installed << " / " << row.server << " product " << row.product_present;
        EXPECT_EQ(decision.local_newer, row.local_newer_logged)
            << row.installed << " / " << row.server;
    }
}

Manifest manifest_with(const char* from, bool from_found, const char* list, bool list_found,
                       const char* base, bool base_found) {
    Manifest manifest;
    std::memset(&manifest, 0, sizeof(manifest));
    std::strcpy(manifest.version, "1.4.2");
    std::strcpy(manifest.changed_from_version, from);
    manifest.changed_from_version_found = from_found;
    std::strcpy(manifest.changed_files_url, list);
    manifest.changed_files_url_found = list_found;
    std::strcpy(manifest.changed_files_base_url, base);
    manifest.changed_files_base_url_found = base_found;
    return manifest;
}

TEST(ChangedFiles, AppliesOnlyToExactlyTheInstalledVersionWithBothUrls) {
    Manifest full = manifest_with("1.4.1", true, "https://h/l.txt", true, "https://h/f", true);
    EXPECT_TRUE(changed_files_applicable(full, "1.4.1", true));
    EXPECT_FALSE(changed_files_applicable(full, "1.4.1", false)) << "product missing";
    EXPECT_FALSE(changed_files_applicable(full, "1.4.0", true));
    EXPECT_FALSE(changed_files_applicable(full, "01.4.1", true)) << "bytes, not numbers";
    EXPECT_FALSE(changed_files_applicable(full, "1.4.1 ", true));

    Manifest empty_base = manifest_with("1.4.1", true, "https://h/l.txt", true, "", true);
    EXPECT_FALSE(changed_files_applicable(empty_base, "1.4.1", true));
    EXPECT_TRUE(changed_files_not_applicable_logged(empty_base, true));
    EXPECT_FALSE(changed_files_not_applicable_logged(empty_base, false));

    Manifest no_list_key = manifest_with("1.4.1", true, "", false, "https://h/f", true);
    EXPECT_FALSE(changed_files_applicable(no_list_key, "1.4.1", true));
    EXPECT_FALSE(changed_files_not_applicable_logged(no_list_key, true));

    Manifest empty_from = manifest_with("", true, "https://h/l.txt", true, "https://h/f", true);
    EXPECT_FALSE(changed_files_applicable(empty_from, "", true));
    EXPECT_TRUE(changed_files_not_applicable_logged(empty_from, true));
}

}  // namespace
