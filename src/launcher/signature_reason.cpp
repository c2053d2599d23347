#include "launcher/signature_reason.h"

#include <cstddef>

namespace velda {

namespace {

struct SignatureReasonRow {
    SignatureCheck check;
    const char* spanish;
    const char* english;
};

constexpr SignatureReasonRow kSignatureReasons[] = {
    {SignatureCheck::Verified, "verificada", "was made by one of the given keys"},
    {SignatureCheck::NoKeys, "sin claves de publicacion", "is checked with no key"},
    {SignatureCheck::BadKey, "clave de publicacion ilegible",
     "cannot be checked: a given key does not decode"},
    {SignatureCheck::Malformed, "firma mal formada",
     "is no strict DER ECDSA P-256 signature: launchers with a release key refuse the manifest"},
    {SignatureCheck::WrongKey, "firma de otra clave o de otro contenido",
     "was made by none of the given keys over the manifest's bytes (the manifest or the "
     "signature was changed, or another key signed it): launchers with these keys refuse the "
     "manifest"},
    {SignatureCheck::Failed, "CNG no disponible",
     "cannot be checked: the system's cryptography failed"},
};

}  // namespace

const char* signature_reason(SignatureCheck check, ReasonLanguage language) {
    for (const SignatureReasonRow& row : kSignatureReasons) {
        if (row.check == check) {
            return language == ReasonLanguage::Spanish ? row.spanish : row.english;
        }
    }
    return language == ReasonLanguage::Spanish ? "desconocido" : "is of an unknown kind";
}

}  // namespace velda
