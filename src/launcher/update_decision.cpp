#include "launcher/update_decision.h"

#include <cstring>

namespace velda {

UpdateDecision decide_update(bool stamp_present, const char* installed_version,
                             const char* server_version, bool product_present) {
    if (!stamp_present) {
        return {true, false};
    }
    switch (compare_versions(installed_version, server_version)) {
        case VersionOrder::LocalOlder:
            return {true, false};
        case VersionOrder::Equal:
            return {!product_present, false};
        case VersionOrder::LocalNewer:
            return {!product_present, true};
    }
    return {true, false};
}

bool changed_files_applicable(const Manifest& manifest, const char* installed_version,
                              bool product_present) {
    return product_present && manifest.changed_from_version_found &&
           manifest.changed_from_version[0] != '\0' &&
           std::strcmp(installed_version, manifest.changed_from_version) == 0 &&
           manifest.changed_files_url_found && manifest.changed_files_url[0] != '\0' &&
           manifest.changed_files_base_url_found && manifest.changed_files_base_url[0] != '\0';
}

bool changed_files_not_applicable_logged(const Manifest& manifest, bool product_present) {
    return product_present && manifest.changed_files_url_found &&
           manifest.changed_files_base_url_found;
}

}  // namespace velda
