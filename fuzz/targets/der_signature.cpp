// DER ECDSA signature to r || s. An accepted input is exactly the minimal DER encoding of the
// r and s it gave, so no two inputs give one signature, and a refused input leaves the output
// alone.
#include <cstring>
#include <vector>

#include "common/release_keys.h"
#include "fuzz_targets.h"

using namespace velda;

namespace {

constexpr char kTarget[] = "der_signature";

// The INTEGER DER writes for a non-negative 32-byte big-endian value, written apart from the
// decoder.
void append_der_integer(const uint8_t* field, std::vector<uint8_t>* out) {
    size_t first = 0;
    while (first < 31 && field[first] == 0) {
        ++first;
    }
    bool sign_pad = (field[first] & 0x80) != 0;
    out->push_back(0x02);
    out->push_back(static_cast<uint8_t>(32 - first + (sign_pad ? 1 : 0)));
    if (sign_pad) {
        out->push_back(0x00);
    }
    out->insert(out->end(), field + first, field + 32);
}

}  // namespace

int fuzz_der_signature(const uint8_t* data, size_t size) {
    uint8_t signature[kP256SignatureSize];
    std::memset(signature, 0xA5, sizeof(signature));
    if (!der_signature_to_p256_rs(data, size, signature)) {
        for (uint8_t byte : signature) {
            if (byte != 0xA5) {
                return fuzz_failure(kTarget, "a refused input changed the output");
            }
        }
        return 0;
    }
    static const uint8_t kZero[32] = {};
    if (std::memcmp(signature, kZero, 32) == 0 || std::memcmp(signature + 32, kZero, 32) == 0) {
        return fuzz_failure(kTarget, "accepted a zero r or s");
    }
    std::vector<uint8_t> body;
    append_der_integer(signature, &body);
    append_der_integer(signature + 32, &body);
    std::vector<uint8_t> encoded = {0x30, static_cast<uint8_t>(body.size())};
    encoded.insert(encoded.end(), body.begin(), body.end());
    if (encoded.size() != size || std::memcmp(encoded.data(), data, size) != 0) {
        return fuzz_failure(kTarget, "accepted an input that is not the minimal DER of r and s");
    }
    return 0;
}
