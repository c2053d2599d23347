#include <cstring>

#include "common/crypto.h"
#include "release_crypto.h"

namespace velda {

bool release_sha256(std::string_view data, uint8_t digest[kSha256Size]) {
    return sha256_bytes(data.data(), data.size(), digest);
}

bool release_signing_available() {
    return false;
}

bool generate_release_key_pair(std::string*, std::string*, std::string* error) {
    *error = "making keys is not available in this build (it has no libcrypto)";
    return false;
}

bool sign_release_message(const std::string&, std::string_view, std::string*, std::string* error) {
    *error = "signing is not available in this build (it has no libcrypto)";
    return false;
}

// The launcher's own check, so that the Windows tool agrees with the launcher exactly.
bool verify_release_message(std::string_view public_pem, std::string_view message,
                            std::string_view der, std::string* error) {
    uint8_t point[kP256PointSize];
    uint8_t signature[kP256SignatureSize];
    if (!p256_point_from_pem(public_pem.data(), public_pem.size(), point)) {
        *error = "not an EC P-256 public key";
        return false;
    }
    if (!der_signature_to_p256_rs(reinterpret_cast<const uint8_t*>(der.data()), der.size(),
                                  signature) ||
        !ecdsa_p256_sha256_verify(message.data(), message.size(), signature, point)) {
        *error = "the signature does not match";
        return false;
    }
    return true;
}

}  // namespace velda
