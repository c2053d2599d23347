#pragma once

#include <cstddef>
#include <cstdint>

namespace velda {

// An uncompressed P-256 point without its 0x04 tag: X then Y, 32 bytes each, as CNG's
// BCRYPT_ECDSA_PUBLIC_P256_MAGIC blob carries it after its header.
constexpr size_t kP256PointSize = 64;
// r then s, 32 bytes each, big-endian: the form BCryptVerifySignature takes.
constexpr size_t kP256SignatureSize = 64;

// A SubjectPublicKeyInfo PEM ("-----BEGIN PUBLIC KEY-----") of a P-256 key with an
// uncompressed point. False for anything else: other curves, other algorithms, bad base64.
[[nodiscard]] bool p256_point_from_pem(const char* pem, size_t pem_size,
                                       uint8_t point[kP256PointSize]);

// A DER ECDSA-Sig-Value (SEQUENCE of the INTEGERs r and s) as OpenSSL writes it, in strict
// DER, turned into r || s. False for anything that is not exactly that.
[[nodiscard]] bool der_signature_to_p256_rs(const uint8_t* der, size_t der_size,
                                            uint8_t signature[kP256SignatureSize]);

// The release keys compiled in from VELDA_RELEASE_PUBLIC_KEYS, as PEM text, in the order given.
struct ReleasePublicKey {
    const char* file;  // the PEM file it was read from, for messages
    const char* pem;
};
extern const ReleasePublicKey* const kReleasePublicKeys;
extern const size_t kReleasePublicKeyCount;

}  // namespace velda
