#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/hex.h"
#include "common/release_keys.h"

namespace velda {

// SHA-256 and ECDSA P-256 through the system's cryptography (CNG, bcrypt.dll). Windows only.

// Incremental SHA-256 of a stream: init, update as bytes arrive, finish. Owns its algorithm
// and hash handles; every step after a failed one fails too.
class Sha256 {
  public:
    Sha256() = default;
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    [[nodiscard]] bool init();
    [[nodiscard]] bool update(const void* data, size_t size);
    // Ends the hash; init starts another.
    [[nodiscard]] bool finish(uint8_t digest[kSha256Size]);

  private:
    void close();

    void* algorithm_ = nullptr;  // BCRYPT_ALG_HANDLE
    void* hash_ = nullptr;       // BCRYPT_HASH_HANDLE
};

// SHA-256 on a thread of its own, so that hashing a buffer overlaps the caller's next work (a
// download's next bytes). One buffer is hashed at a time; the thread starts with the first one.
class BackgroundSha256 {
  public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    [[nodiscard]] bool init();
    // Hashes data on the thread; the caller leaves those bytes alone until wait() returns.
    void update_async(const void* data, size_t size);
    // Waits until the buffer under way is hashed; false once any update has failed.
    bool wait();
    // Hashes data on the caller's thread, after the buffer under way.
    bool update(const void* data, size_t size);
    [[nodiscard]] bool finish(uint8_t digest[kSha256Size]);

  private:
    struct Worker;
    Sha256 hash_;
    bool failed_ = false;
    std::unique_ptr<Worker> worker_;
};

[[nodiscard]] bool sha256_bytes(const void* data, size_t size, uint8_t digest[kSha256Size]);

// The SHA-256 of a whole file, read in chunks; false when it cannot be opened or read.
[[nodiscard]] bool sha256_file(const char* path, uint8_t digest[kSha256Size]);

// Whether signature (r || s) is an ECDSA P-256 signature of SHA-256(message) by point.
[[nodiscard]] bool ecdsa_p256_sha256_verify(const void* message, size_t message_size,
                                            const uint8_t signature[kP256SignatureSize],
                                            const uint8_t point[kP256PointSize]);

enum class SignatureCheck {
    Verified,   // one of the keys made it
    NoKeys,     // no key to check with
    BadKey,     // a compiled-in key does not decode (refused at configure time; kept for safety)
    Malformed,  // not a strict DER ECDSA signature
    WrongKey,   // well formed, made by none of the keys, or over other bytes
    Failed,     // CNG could not be used; the call and its NTSTATUS go to the support log
};

// Checks a detached DER signature over message's exact bytes against every key given; keys
// is an array of PEM texts such as kReleasePublicKeys.
[[nodiscard]] SignatureCheck check_detached_signature(const void* message, size_t message_size,
                                                      const uint8_t* der, size_t der_size,
                                                      const ReleasePublicKey* keys,
                                                      size_t key_count);

}  // namespace velda
