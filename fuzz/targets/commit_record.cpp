// The commit record's reader. Whatever it accepts is a valid record whose written text is the
// input itself, so no two texts read as one record and nothing invalid gets through.
#include <string_view>

#include "fuzz_targets.h"
#include "install/staged_commit.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "commit_record";

}  // namespace

int fuzz_commit_record(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    CommitRecord record;
    if (!read_commit_record(text, &record)) {
        return 0;
    }
    if (!commit_record_valid(record)) {
        return fuzz_failure(kTarget, "an invalid record was read");
    }
    if (commit_record_text(record) != text) {
        return fuzz_failure(kTarget, "the record read does not write back as the input");
    }
    for (const CommitEntry& entry : record.entries) {
        if (entry.path.find("..") != std::string::npos ||
            entry.path.find(':') != std::string::npos || entry.path[0] == '\\') {
            return fuzz_failure(kTarget, "a path that leaves the install folder was read");
        }
    }
    return 0;
}
