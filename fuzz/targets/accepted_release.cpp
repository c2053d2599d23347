// The per-user record of the newest release a keyed launcher took. An accepted text gives a
// version that parses and an issued time that is UTC time text, and writing it out again reads
// back the same; a refused text keeps nothing.
#include <string>

#include "fuzz_targets.h"
#include "launcher/accepted_release.h"
#include "manifest/manifest.h"
#include "manifest/release_details.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "accepted_release";

}  // namespace

int fuzz_accepted_release(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    AcceptedRelease record;
    if (!read_accepted_release(text, &record)) {
        if (!record.version.empty() || !record.issued.empty()) {
            return fuzz_failure(kTarget, "a refused record kept something");
        }
        return 0;
    }
    if (!parse_version(record.version.c_str(), nullptr) ||
        record.version.size() >= kVersionTextSize ||
        record.version.find_first_of(" \t\r\n\v\f") != std::string::npos ||
        (!record.issued.empty() && !utc_time_text_valid(record.issued))) {
        return fuzz_failure(kTarget, "an accepted record beyond the rules");
    }
    AcceptedRelease again;
    if (!read_accepted_release(accepted_release_text(record), &again) || !(again == record)) {
        return fuzz_failure(kTarget, "the record written out again reads differently");
    }
    return 0;
}
