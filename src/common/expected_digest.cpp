#include "common/expected_digest.h"

namespace velda {

ExpectedDigest ExpectedDigest::from_field(const char* field) {
    ExpectedDigest digest;
    if (field == nullptr || field[0] == '\0') {
        return digest;
    }
    digest.state_ =
        hex_to_bytes(field, digest.value_, kSha256Size) ? State::Given : State::Malformed;
    return digest;
}

}  // namespace velda
