#include "common/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "common/log.h"
#include "common/win_handle.h"

namespace velda {

namespace {

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

struct AlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type value) { BCryptCloseAlgorithmProvider(value, 0); }
};
struct HashTraits {
    using Type = BCRYPT_HASH_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type value) { BCryptDestroyHash(value); }
};
struct KeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type empty() { return nullptr; }
    static void close(Type value) { BCryptDestroyKey(value); }
};
using UniqueAlgorithm = UniqueAny<AlgorithmTraits>;
using UniqueHash = UniqueAny<HashTraits>;
using UniqueKey = UniqueAny<KeyTraits>;

// Large enough that a 512 MiB package costs few calls.
constexpr DWORD kFileChunkSize = 64 * 1024;

}  // namespace

Sha256::~Sha256() {
    close();
}

void Sha256::close() {
    // The hash first: it belongs to the algorithm provider.
    UniqueHash hash(static_cast<BCRYPT_HASH_HANDLE>(std::exchange(hash_, nullptr)));
    UniqueAlgorithm algorithm(static_cast<BCRYPT_ALG_HANDLE>(std::exchange(algorithm_, nullptr)));
    hash.reset();
}

bool Sha256::init() {
    close();
    UniqueAlgorithm algorithm;
    UniqueHash hash;
    if (!succeeded(
            BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !succeeded(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    hash_ = hash.release();
    algorithm_ = algorithm.release();
    return true;
}

bool Sha256::update(const void* data, size_t size) {
    if (hash_ == nullptr) {
        return false;
    }
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    while (size > 0) {
        ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!succeeded(BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(hash_),
                                      const_cast<UCHAR*>(bytes), part, 0))) {
            close();
            return false;
        }
        bytes += part;
        size -= part;
    }
    return true;
}

bool Sha256::finish(uint8_t digest[kSha256Size]) {
    if (hash_ == nullptr) {
        return false;
    }
    bool ok =
        succeeded(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(hash_), digest, kSha256Size, 0));
    close();
    return ok;
}

struct BackgroundSha256::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    const void* data = nullptr;  // the buffer to hash, null when none waits
    size_t size = 0;
    bool busy = false;  // a buffer is handed over and not yet hashed
    bool stopping = false;
    std::thread thread;
};

BackgroundSha256::BackgroundSha256() = default;

BackgroundSha256::~BackgroundSha256() {
    if (worker_ == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->stopping = true;
    }
    worker_->changed.notify_all();
    worker_->thread.join();
}

bool BackgroundSha256::init() {
    // A failure of the hash before this one no longer counts.
    static_cast<void>(wait());
    failed_ = !hash_.init();
    return !failed_;
}

void BackgroundSha256::update_async(const void* data, size_t size) {
    // A failure stays in failed_ for the next wait or finish.
    static_cast<void>(wait());
    if (worker_ == nullptr) {
        worker_ = std::make_unique<Worker>();
        Worker* worker = worker_.get();
        worker_->thread = std::thread([this, worker] {
            std::unique_lock<std::mutex> lock(worker->mutex);
            for (;;) {
                worker->changed.wait(lock, [worker] { return worker->busy || worker->stopping; });
                if (!worker->busy) {
                    return;
                }
                const void* bytes = worker->data;
                size_t count = worker->size;
                lock.unlock();
                bool hashed = hash_.update(bytes, count);
                lock.lock();
                failed_ = failed_ || !hashed;
                worker->busy = false;
                worker->changed.notify_all();
            }
        });
    }
    {
        std::lock_guard<std::mutex> lock(worker_->mutex);
        worker_->data = data;
        worker_->size = size;
        worker_->busy = true;
    }
    worker_->changed.notify_all();
}

bool BackgroundSha256::wait() {
    if (worker_ != nullptr) {
        std::unique_lock<std::mutex> lock(worker_->mutex);
        worker_->changed.wait(lock, [this] { return !worker_->busy; });
    }
    return !failed_;
}

bool BackgroundSha256::update(const void* data, size_t size) {
    if (wait() && !hash_.update(data, size)) {
        failed_ = true;
    }
    return !failed_;
}

bool BackgroundSha256::finish(uint8_t digest[kSha256Size]) {
    return wait() && hash_.finish(digest);
}

bool sha256_bytes(const void* data, size_t size, uint8_t digest[kSha256Size]) {
    Sha256 hash;
    return hash.init() && hash.update(data, size) && hash.finish(digest);
}

bool sha256_file(const char* path, uint8_t digest[kSha256Size]) {
    // The launcher's paths are ANSI throughout, as in the rest of its file calls.
    UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Sha256 hash;
    if (!file || !hash.init()) {
        return false;
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kFileChunkSize]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.get(), kFileChunkSize, &got, nullptr)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!hash.update(buffer.get(), got)) {
            return false;
        }
    }
    return hash.finish(digest);
}

namespace {

// What one key says of a signature: its own, another's, or nothing because CNG failed.
enum class KeyVerdict { Made, NotMade, Failed };

// CNG's failure in the support log: which call, and the NTSTATUS it gave.
KeyVerdict cng_failed(const char* call, NTSTATUS status) {
    log_detail("CNG fallo: %s devolvio NTSTATUS 0x%08lX", call, static_cast<unsigned long>(status));
    return KeyVerdict::Failed;
}

KeyVerdict ecdsa_p256_verify_digest(const uint8_t digest[kSha256Size],
                                    const uint8_t signature[kP256SignatureSize],
                                    const uint8_t point[kP256PointSize]) {
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + kP256PointSize];
    BCRYPT_ECCKEY_BLOB header{};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = kP256PointSize / 2;
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), point, kP256PointSize);

    UniqueAlgorithm algorithm;
    UniqueKey key;
    NTSTATUS status =
        BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!succeeded(status)) {
        return cng_failed("BCryptOpenAlgorithmProvider", status);
    }
    status = BCryptImportKeyPair(algorithm.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(), blob,
                                 sizeof(blob), 0);
    if (!succeeded(status)) {
        return cng_failed("BCryptImportKeyPair", status);
    }
    // CNG takes non-const buffers it only reads.
    status = BCryptVerifySignature(key.get(), nullptr, const_cast<uint8_t*>(digest), kSha256Size,
                                   const_cast<uint8_t*>(signature), kP256SignatureSize, 0);
    if (succeeded(status)) {
        return KeyVerdict::Made;
    }
    if (status == static_cast<NTSTATUS>(0xC000A000L)) {  // STATUS_INVALID_SIGNATURE
        return KeyVerdict::NotMade;
    }
    return cng_failed("BCryptVerifySignature", status);
}

}  // namespace

bool ecdsa_p256_sha256_verify(const void* message, size_t message_size,
                              const uint8_t signature[kP256SignatureSize],
                              const uint8_t point[kP256PointSize]) {
    uint8_t digest[kSha256Size];
    return sha256_bytes(message, message_size, digest) &&
           ecdsa_p256_verify_digest(digest, signature, point) == KeyVerdict::Made;
}

SignatureCheck check_detached_signature(const void* message, size_t message_size,
                                        const uint8_t* der, size_t der_size,
                                        const ReleasePublicKey* keys, size_t key_count) {
    if (key_count == 0) {
        return SignatureCheck::NoKeys;
    }
    uint8_t signature[kP256SignatureSize];
    if (!der_signature_to_p256_rs(der, der_size, signature)) {
        return SignatureCheck::Malformed;
    }
    // The hash provider's failure is told apart from a wrong signature.
    uint8_t digest[kSha256Size];
    if (!sha256_bytes(message, message_size, digest)) {
        return SignatureCheck::Failed;
    }
    for (size_t i = 0; i < key_count; ++i) {
        uint8_t point[kP256PointSize];
        if (!p256_point_from_pem(keys[i].pem, std::strlen(keys[i].pem), point)) {
            return SignatureCheck::BadKey;
        }
        switch (ecdsa_p256_verify_digest(digest, signature, point)) {
            case KeyVerdict::Made:
                return SignatureCheck::Verified;
            case KeyVerdict::Failed:
                return SignatureCheck::Failed;
            case KeyVerdict::NotMade:
                break;
        }
    }
    return SignatureCheck::WrongKey;
}

}  // namespace velda
