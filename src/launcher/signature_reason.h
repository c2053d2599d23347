#pragma once

#include "common/crypto.h"

namespace velda {

// The launcher logs in Spanish; the release tool reports in English.
enum class ReasonLanguage { Spanish, English };

// Why a manifest's signature counts or not. Spanish: the reason inside the launcher's
// "latest.json rechazado: <reason>; ..." line. English: what the release tool says after
// "the signature <file> ".
[[nodiscard]] const char* signature_reason(SignatureCheck check, ReasonLanguage language);

}  // namespace velda
