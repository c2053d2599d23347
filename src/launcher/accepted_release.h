#pragma once

#include <string>
#include <string_view>

namespace velda {

// The newest release a keyed launcher has taken, kept per user so that deleting the install
// folder's stamp cannot make an older signed manifest count again. The file's text:
//   velda-accepted 1
//   version 1.2.0
//   issued 2026-12-09T05:00:00Z      (the line is left out when the manifest gave none)
struct AcceptedRelease {
    std::string version;  // as version_fits_record takes it
    std::string issued;   // UTC time text, or ""

    bool operator==(const AcceptedRelease&) const = default;
};

// A version the record can hold: it parses, and is printable ASCII without blanks, so that its
// line reads back as written.
[[nodiscard]] bool version_fits_record(std::string_view version);

[[nodiscard]] std::string accepted_release_text(const AcceptedRelease& accepted);

// Lenient: lines may end in CRLF, the last line end may be missing. False (and *out empty) for
// anything else: another first line, an unknown or repeated line, a version it cannot hold,
// an issued time that is not UTC time text.
[[nodiscard]] bool read_accepted_release(std::string_view text, AcceptedRelease* out);

}  // namespace velda
