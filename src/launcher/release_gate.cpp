#include "launcher/release_gate.h"

#include <string>

#include "manifest/manifest.h"

namespace velda {

namespace {

struct RefusalRow {
    ReleaseRefusal refusal;
    const char* spanish;
    const char* english;
};

constexpr RefusalRow kRefusalReasons[] = {
    {ReleaseRefusal::None, "aceptado", "is taken"},
    {ReleaseRefusal::IdentityUnreadable, "producto o fechas ilegibles",
     "names its product, issue or expiry time in a form launchers cannot read"},
    {ReleaseRefusal::OtherProduct, "publicacion de otro producto", "is another product's release"},
    {ReleaseRefusal::Expired, "publicacion caducada", "has expired"},
    {ReleaseRefusal::OlderThanAccepted, "version anterior a la ya aceptada",
     "is older than a release the launcher already took"},
    {ReleaseRefusal::BelowMinimum, "version inferior a la minima",
     "is below the launcher's minimum version"},
};

// -1, 0 or 1 as the offer is older than, as new as or newer than the record.
int order_against(const ReleaseOffer& offer, const AcceptedRelease& accepted) {
    std::string version(offer.version);
    switch (compare_versions(accepted.version.c_str(), version.c_str())) {
        case VersionOrder::LocalOlder:
            return 1;
        case VersionOrder::LocalNewer:
            return -1;
        case VersionOrder::Equal:
            break;
    }
    std::string_view issued;
    if (offer.identity != nullptr) {
        issued = offer.identity->issued;
    }
    int issued_order = issued.compare(accepted.issued);  // UTC time texts order as times
    return issued_order < 0 ? -1 : (issued_order > 0 ? 1 : 0);
}

}  // namespace

ReleaseRefusal judge_release(const ReleaseOffer& offer, const ReleaseGate& gate) {
    if (offer.identity == nullptr) {
        return ReleaseRefusal::IdentityUnreadable;
    }
    const ReleaseIdentity& identity = *offer.identity;
    if (!identity.product.empty() && identity.product != gate.product_id) {
        return ReleaseRefusal::OtherProduct;
    }
    if (!identity.expires.empty() && identity.expires <= gate.now_utc) {
        return ReleaseRefusal::Expired;
    }
    if (gate.accepted != nullptr && order_against(offer, *gate.accepted) < 0) {
        return ReleaseRefusal::OlderThanAccepted;
    }
    std::string version(offer.version);
    std::string minimum(gate.minimum_version);
    if (!minimum.empty() &&
        compare_versions(minimum.c_str(), version.c_str()) == VersionOrder::LocalNewer) {
        return ReleaseRefusal::BelowMinimum;
    }
    return ReleaseRefusal::None;
}

bool offer_raises_record(const ReleaseOffer& offer, const AcceptedRelease* accepted) {
    if (!version_fits_record(offer.version)) {
        return false;  // taken, but a record could not name it
    }
    return accepted == nullptr || order_against(offer, *accepted) > 0;
}

const char* release_refusal_reason(ReleaseRefusal refusal, ReasonLanguage language) {
    for (const RefusalRow& row : kRefusalReasons) {
        if (row.refusal == refusal) {
            return language == ReasonLanguage::Spanish ? row.spanish : row.english;
        }
    }
    return language == ReasonLanguage::Spanish ? "desconocido" : "is refused for an unknown reason";
}

}  // namespace velda
