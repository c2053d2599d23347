// The manifest's whole-release members and what the release is. An accepted text gives details
// within the launcher's limits, each change set found again by its version, and the same details
// when written out again and read back; a refused text keeps nothing and says why.
#include <string>
#include <utility>

#include "fuzz_targets.h"
#include "manifest/manifest.h"
#include "manifest/release_details.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "release_details";
constexpr uint64_t kMaxSize = uint64_t{1} << 53;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            const char* digits = "0123456789abcdef";
            out += "\\u00";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void add_size(std::string* out, const char* key, const std::optional<uint64_t>& size) {
    if (size) {
        *out += std::string(", \"") + key + "\": " + std::to_string(*size);
    }
}

std::string written_again(const ReleaseDetails& details) {
    std::string out = "{\"x\": 0";
    add_size(&out, "package_size", details.sizes.package);
    add_size(&out, "unpacked_size", details.sizes.unpacked);
    add_size(&out, "unpacked_files", details.sizes.unpacked_files);
    add_size(&out, "direct_size", details.sizes.direct);
    if (details.direct_record_present) {
        out += ", \"direct_from\": [";
        for (size_t i = 0; i < details.direct_from.size(); ++i) {
            out += (i == 0 ? "" : ",") + quoted(details.direct_from[i]);
        }
        out += "]";
    }
    out += ", \"change_sets\": [";
    for (size_t i = 0; i < details.change_sets.size(); ++i) {
        const ChangeSet& set = details.change_sets[i];
        out += std::string(i == 0 ? "" : ",") + "{\"from\": " + quoted(set.from_version) +
               ", \"list_url\": " + quoted(set.list_url) +
               ", \"base_url\": " + quoted(set.base_url) +
               ", \"list_sha256\": " + quoted(set.list_sha256) +
               ", \"hashes_url\": " + quoted(set.hashes_url) +
               ", \"hashes_sha256\": " + quoted(set.hashes_sha256);
        add_size(&out, "list_size", set.list_size);
        add_size(&out, "hashes_size", set.hashes_size);
        add_size(&out, "files_size", set.files_size);
        add_size(&out, "files_count", set.files_count);
        out += "}";
    }
    out += "]";
    const std::pair<const char*, const std::string*> identity[] = {
        {"product", &details.identity.product},
        {"issued", &details.identity.issued},
        {"expires", &details.identity.expires},
    };
    for (const auto& [key, value] : identity) {
        if (!value->empty()) {
            out += std::string(", \"") + key + "\": " + quoted(*value);
        }
    }
    return out + "}";
}

bool within_limits(const ReleaseDetails& details) {
    const std::optional<uint64_t> sizes[] = {details.sizes.package, details.sizes.unpacked,
                                             details.sizes.unpacked_files, details.sizes.direct};
    for (const auto& size : sizes) {
        if (size && *size > kMaxSize) {
            return false;
        }
    }
    if (details.direct_from.size() > kMaxDirectFrom ||
        details.change_sets.size() > kMaxChangeSets ||
        (!details.direct_record_present && !details.direct_from.empty())) {
        return false;
    }
    const ReleaseIdentity& identity = details.identity;
    if ((!identity.product.empty() && !product_id_valid(identity.product)) ||
        (!identity.issued.empty() && !utc_time_text_valid(identity.issued)) ||
        (!identity.expires.empty() && !utc_time_text_valid(identity.expires))) {
        return false;
    }
    for (const ChangeSet& set : details.change_sets) {
        if (set.from_version.empty() || set.from_version.size() >= kVersionTextSize ||
            set.list_url.empty() || set.list_url.size() >= kManifestUrlSize ||
            set.base_url.empty() || set.base_url.size() >= kManifestUrlSize ||
            set.hashes_url.size() >= kManifestUrlSize ||
            change_set_for(details, set.from_version) != &set) {
            return false;
        }
    }
    return true;
}

}  // namespace

int fuzz_release_details(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ReleaseDetails details;
    std::string why;
    ReleaseIdentity identity;
    std::string identity_why;
    bool identity_read = read_release_identity(text, &identity, &identity_why);
    if (identity_read ? identity_why.size() != 0
                      : (identity_why.empty() || identity.product.size() != 0)) {
        return fuzz_failure(kTarget, "the identity reader's result and reason disagree");
    }
    if (!read_release_details(text, &details, &why)) {
        if (why.empty() || !details.change_sets.empty() || details.direct_record_present ||
            !details.direct_from.empty() || details.sizes.package) {
            return fuzz_failure(kTarget, "a refusal kept something or gave no reason");
        }
        return 0;
    }
    if (!identity_read || !(identity == details.identity)) {
        return fuzz_failure(kTarget, "accepted details whose identity reads otherwise alone");
    }
    if (!within_limits(details)) {
        return fuzz_failure(kTarget, "accepted details beyond the limits");
    }
    for (const std::string& version : details.direct_from) {
        if (!direct_makes_release_whole(details, version)) {
            return fuzz_failure(kTarget, "a version of direct_from is not found again");
        }
    }
    ReleaseDetails again;
    if (!read_release_details(written_again(details), &again, &why) || !(details == again)) {
        return fuzz_failure(kTarget, "the details written out again read differently");
    }
    return 0;
}
