// sha256_run.exe FILE: hashes FILE with the launcher's CNG SHA-256, as it checks a download, and
// prints "sha256=<64 hex>". Exits 1 when the file cannot be hashed.

#include <cstdio>

#include "common/crypto.h"

using namespace velda;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sha256_run FILE\n");
        return 2;
    }
    uint8_t digest[kSha256Size];
    if (!sha256_file(argv[1], digest)) {
        std::printf("sha256=\n");
        return 1;
    }
    char text[kSha256HexSize];
    bytes_to_hex(digest, kSha256Size, text);
    std::printf("sha256=%s\n", text);
    return 0;
}
