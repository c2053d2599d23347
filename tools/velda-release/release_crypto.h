#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/hex.h"

namespace velda {

// The tool's cryptography: OpenSSL's libcrypto natively; on Windows the launcher's own CNG code,
// which hashes and verifies but holds no signing.

[[nodiscard]] bool release_sha256(std::string_view data, uint8_t digest[kSha256Size]);
std::string release_sha256_hex(std::string_view data);

// Whether this build can make keys and sign (false on Windows).
bool release_signing_available();

// A new P-256 key pair: the private key as PKCS#8 PEM, the public key as "openssl ec -pubout"
// writes it.
[[nodiscard]] bool generate_release_key_pair(std::string* private_pem, std::string* public_pem,
                                             std::string* error);

// The DER ECDSA-SHA256 signature of message, as "openssl dgst -sha256 -sign" makes it. The key
// file must hold a P-256 private key.
[[nodiscard]] bool sign_release_message(const std::string& private_key_file,
                                        std::string_view message, std::string* der,
                                        std::string* error);

// Whether der is a signature of message by the key in public_pem (a P-256 SubjectPublicKeyInfo).
[[nodiscard]] bool verify_release_message(std::string_view public_pem, std::string_view message,
                                          std::string_view der, std::string* error);

}  // namespace velda
