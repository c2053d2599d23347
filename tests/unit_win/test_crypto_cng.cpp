// SHA-256 and ECDSA P-256 through CNG, against vectors made with the openssl command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "common/crypto.h"

using namespace velda;

namespace {

std::string hex_of(const uint8_t* bytes, size_t size) {
    std::string text(2 * size + 1, '\0');
    bytes_to_hex(bytes, size, text.data());
    text.resize(2 * size);
    return text;
}

const uint8_t* bytes_of(const std::string& text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(CngSha256, KnownDigestsWholeIncrementalAndFromAFile) {
    uint8_t digest[kSha256Size];
    ASSERT_TRUE(sha256_bytes("", 0, digest));
    EXPECT_EQ(hex_of(digest, kSha256Size),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ASSERT_TRUE(sha256_bytes("abc", 3, digest));
    EXPECT_EQ(hex_of(digest, kSha256Size),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // A million 'a' in uneven pieces, then the same Sha256 reused for the next hash.
    std::string million(1000000, 'a');
    Sha256 hash;
    ASSERT_TRUE(hash.init());
    for (size_t done = 0, piece = 1; done < million.size(); done += piece, piece = piece * 3 + 1) {
        ASSERT_TRUE(hash.update(million.data() + done, std::min(piece, million.size() - done)));
    }
    ASSERT_TRUE(hash.finish(digest));
    const char* kMillion = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
    EXPECT_EQ(hex_of(digest, kSha256Size), kMillion);
    EXPECT_FALSE(hash.update("x", 1));  // finished: nothing more goes in until init
    ASSERT_TRUE(hash.init() && hash.update("abc", 3) && hash.finish(digest));
    EXPECT_EQ(hex_of(digest, kSha256Size).substr(0, 8), "ba7816bf");

    TempFolder folder;
    ASSERT_TRUE(sha256_file(folder.write("million.bin", million).c_str(), digest));
    EXPECT_EQ(hex_of(digest, kSha256Size), kMillion);
    EXPECT_FALSE(sha256_file(folder.file("missing.bin").c_str(), digest));
    EXPECT_FALSE(sha256_file(folder.path().string().c_str(), digest));
}

TEST(CngSha256, OnItsOwnThreadTheSameDigest) {
    // Two buffers in turn, as a download fills one while the other is hashed.
    std::string whole(3 * 1000 * 1000 + 7, '\0');
    for (size_t i = 0; i < whole.size(); ++i) {
        whole[i] = static_cast<char>(i * 31 + i / 4099);
    }
    uint8_t expected[kSha256Size];
    ASSERT_TRUE(sha256_bytes(whole.data(), whole.size(), expected));

    BackgroundSha256 hash;
    ASSERT_TRUE(hash.init());
    std::string buffers[2];
    constexpr size_t kPiece = 256 * 1024;
    size_t offset = 0;
    for (int turn = 0; whole.size() - offset > kPiece; ++turn, offset += kPiece) {
        std::string& buffer = buffers[turn % 2];
        buffer.assign(whole, offset, kPiece);  // the other one may still be hashed
        hash.update_async(buffer.data(), buffer.size());
    }
    ASSERT_TRUE(hash.update(whole.data() + offset, whole.size() - offset));
    uint8_t digest[kSha256Size];
    ASSERT_TRUE(hash.finish(digest));
    EXPECT_EQ(hex_of(digest, kSha256Size), hex_of(expected, kSha256Size));
}

TEST(CngEcdsa, OpensslSignaturesVerifyAndTamperedOnesDoNot) {
    std::string manifest = read_test_data("release_signing/manifest.json");
    std::string der = read_test_data("release_signing/manifest.json.sig");
    std::string pem_a = read_test_data("release_signing/key-a-public.pem");
    uint8_t point_a[kP256PointSize];
    uint8_t rs[kP256SignatureSize];
    ASSERT_TRUE(p256_point_from_pem(pem_a.data(), pem_a.size(), point_a));
    ASSERT_TRUE(der_signature_to_p256_rs(bytes_of(der), der.size(), rs));
    EXPECT_TRUE(ecdsa_p256_sha256_verify(manifest.data(), manifest.size(), rs, point_a));

    std::string changed = manifest;
    changed[changed.find("1.1.0")] = '9';
    EXPECT_FALSE(ecdsa_p256_sha256_verify(changed.data(), changed.size(), rs, point_a));
    uint8_t bad_rs[kP256SignatureSize];
    std::memcpy(bad_rs, rs, sizeof(rs));
    bad_rs[40] ^= 0x01;
    EXPECT_FALSE(ecdsa_p256_sha256_verify(manifest.data(), manifest.size(), bad_rs, point_a));
    uint8_t bad_point[kP256PointSize];
    std::memcpy(bad_point, point_a, sizeof(point_a));
    bad_point[63] ^= 0x01;  // off the curve: the import fails, and so does the check
    EXPECT_FALSE(ecdsa_p256_sha256_verify(manifest.data(), manifest.size(), rs, bad_point));

    // r of 31 bytes: the padded field must still verify.
    std::string short_r = read_test_data("release_signing/short-r.txt");
    std::string short_der = read_test_data("release_signing/short-r.txt.sig");
    ASSERT_TRUE(der_signature_to_p256_rs(bytes_of(short_der), short_der.size(), rs));
    EXPECT_TRUE(ecdsa_p256_sha256_verify(short_r.data(), short_r.size(), rs, point_a));
}

TEST(CngEcdsa, DetachedSignatureAgainstKeySets) {
    std::string manifest = read_test_data("release_signing/manifest.json");
    std::string der = read_test_data("release_signing/manifest.json.sig");
    std::string pem_a = read_test_data("release_signing/key-a-public.pem");
    std::string pem_b = read_test_data("release_signing/key-b-public.pem");
    std::string corrupt_der = der;
    corrupt_der.back() ^= 0x01;
    std::string long_der = der + '\0';
    const ReleasePublicKey only_a[] = {{"a", pem_a.c_str()}};
    const ReleasePublicKey only_b[] = {{"b", pem_b.c_str()}};
    const ReleasePublicKey rotated[] = {{"b", pem_b.c_str()}, {"a", pem_a.c_str()}};
    struct Case {
        const char* name;
        const std::string& signature;
        const ReleasePublicKey* keys;
        size_t key_count;
        SignatureCheck expected;
    };
    const Case cases[] = {
        {"signing key", der, only_a, 1, SignatureCheck::Verified},
        {"second of two keys", der, rotated, 2, SignatureCheck::Verified},
        {"another key", der, only_b, 1, SignatureCheck::WrongKey},
        {"no keys", der, only_a, 0, SignatureCheck::NoKeys},
        {"changed signature", corrupt_der, only_a, 1, SignatureCheck::WrongKey},
        {"trailing byte", long_der, only_a, 1, SignatureCheck::Malformed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check_detached_signature(manifest.data(), manifest.size(), bytes_of(c.signature),
                                           c.signature.size(), c.keys, c.key_count),
                  c.expected)
            << c.name;
    }
    std::string changed = manifest + " ";
    EXPECT_EQ(check_detached_signature(changed.data(), changed.size(), bytes_of(der), der.size(),
                                       only_a, 1),
              SignatureCheck::WrongKey);
}

}  // namespace
