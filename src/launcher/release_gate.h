#pragma once

#include <string_view>

#include "launcher/accepted_release.h"
#include "launcher/signature_reason.h"
#include "manifest/release_details.h"

namespace velda {

// Why a keyed launcher does not take a manifest whose signature verified: a signed release of
// another product, an expired one, or one older than what this user already took (a replay).
enum class ReleaseRefusal {
    None,
    IdentityUnreadable,  // "product", "issued" or "expires" is malformed
    OtherProduct,
    Expired,
    OlderThanAccepted,  // a lower version, or the same version issued earlier
    BelowMinimum,       // below the version the launcher was built to accept at least
};

struct ReleaseOffer {
    std::string_view version;         // the manifest's version
    const ReleaseIdentity* identity;  // null when read_release_identity refused it
};

struct ReleaseGate {
    std::string_view product_id;       // the launcher's own
    std::string_view minimum_version;  // "" for none
    const AcceptedRelease* accepted;   // null when this user has no record yet
    std::string_view now_utc;          // UTC time text of the system clock
};

// A manifest without "product" (an older tool's) counts as this launcher's product; one
// without "issued" counts as issued before any that has one.
[[nodiscard]] ReleaseRefusal judge_release(const ReleaseOffer& offer, const ReleaseGate& gate);

// True when a taken offer is newer than the record (or there is none), so the record moves up.
[[nodiscard]] bool offer_raises_record(const ReleaseOffer& offer, const AcceptedRelease* accepted);

// Spanish: inside "latest.json rechazado: <reason>; ...". English: for the release tool.
[[nodiscard]] const char* release_refusal_reason(ReleaseRefusal refusal, ReasonLanguage language);

}  // namespace velda
