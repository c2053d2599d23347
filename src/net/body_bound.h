#pragma once

#include <cstdint>

#include "net/http_body.h"

namespace velda {

// What a GET takes at most. A GET without a bound of its own stops where its 32-bit counters
// would, before this bound is reached, and that stop keeps its own stage (Length).
inline constexpr uint64_t kNoBodyBound = kHttpBodyLimit;

// The run's texts. A change set takes about 700 bytes of the manifest, so 64 KiB hold the
// older fields and some 80 of them; a DER signature is at most 72 bytes; the list and the hash
// file name every changed file of a release.
inline constexpr uint64_t kManifestBodyBound = 64u << 10;
inline constexpr uint64_t kSignatureBodyBound = 256;
inline constexpr uint64_t kChangedFilesTextBound = 16u << 20;  // the list, and its hash file

// The list and its hash file each end 120 s after they began: a whole 16 MiB text arrives in
// that time at 1.1 Mbit/s, and a real list is far smaller. Without this, a server that trickles
// just above the stall limit's minimum would hold the run for hours before the package is tried.
inline constexpr uint32_t kChangedFilesTextTimeLimitMs = 120000;

// The bound of one body. held_before is what an earlier attempt brought of the same body (a
// continued part): the bound is on the whole body, not on one answer.
struct BodyBound {
    uint64_t max_bytes = kNoBodyBound;
    uint64_t held_before = 0;

    // The answer announced length bytes of its own (Content-Length; 0: none announced).
    [[nodiscard]] bool announced_passes(uint64_t length) const;
    // received bytes of this answer are in and available more wait to be read.
    [[nodiscard]] bool next_read_passes(uint64_t received, uint64_t available) const;
};

}  // namespace velda
