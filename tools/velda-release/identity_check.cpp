#include "identity_check.h"

#include "launcher/release_gate.h"
#include "manifest/release_details.h"
#include "release_text.h"

namespace velda {

namespace {

std::string identity_line(const char* key, const std::string& value, const char* absent) {
    std::string shown = value.empty() ? absent : "\"" + printable(value) + "\"";
    return std::string("  ") + key + std::string(25 - std::string(key).size(), ' ') + shown;
}

}  // namespace

IdentityReport check_release_identity(const std::string& manifest_text,
                                      const std::string& product_id, const std::string& now_utc) {
    IdentityReport report;
    ReleaseIdentity identity;
    std::string why;
    bool read = read_release_identity(manifest_text, &identity, &why);
    if (!read && why.rfind("not JSON", 0) != 0 && why.rfind("the manifest is not", 0) != 0) {
        report.traps.push_back("keyed launchers refuse the manifest: " + why);
        return report;
    }
    report.lines.push_back(identity_line("product", identity.product, "(none: any product)"));
    report.lines.push_back(identity_line("issued", identity.issued, "(none)"));
    report.lines.push_back(identity_line("expires", identity.expires, "(does not expire)"));
    if (!read) {
        return report;  // not JSON: named as a trap already
    }
    // The launcher's own judge, with no record of an earlier release and no minimum.
    ReleaseOffer offer = {"", &identity};
    std::string product = product_id.empty() ? identity.product : product_id;
    ReleaseRefusal refusal = judge_release(offer, {product, "", nullptr, now_utc});
    if (refusal != ReleaseRefusal::None) {
        std::string reason = release_refusal_reason(refusal, ReasonLanguage::English);
        if (refusal == ReleaseRefusal::OtherProduct) {
            reason +=
                " (\"" + printable(identity.product) + "\", not \"" + printable(product_id) + "\")";
        } else if (refusal == ReleaseRefusal::Expired) {
            reason += " (at " + identity.expires + "; now " + now_utc + ")";
        }
        report.traps.push_back("keyed launchers refuse the manifest: it " + reason);
    }
    return report;
}

}  // namespace velda
