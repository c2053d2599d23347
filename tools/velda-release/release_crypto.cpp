#include "release_crypto.h"

#include "common/hex.h"

namespace velda {

std::string release_sha256_hex(std::string_view data) {
    uint8_t digest[kSha256Size];
    char text[kSha256HexSize];
    if (!release_sha256(data, digest)) {
        return std::string();
    }
    bytes_to_hex(digest, kSha256Size, text);
    return text;
}

}  // namespace velda
