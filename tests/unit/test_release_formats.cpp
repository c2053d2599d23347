// The portable halves of release checking: hex, the DER signature and public key decoders,
// the hash file reader, and the manifest's hash members.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/expected_digest.h"
#include "common/hex.h"
#include "common/release_keys.h"
#include "install/file_digests.h"
#include "manifest/manifest.h"
#include "test_support.h"

using namespace velda;

namespace {

using namespace std::string_literals;

std::vector<uint8_t> from_hex(const std::string& text) {
    std::vector<uint8_t> bytes(text.size() / 2);
    EXPECT_TRUE(hex_to_bytes(text.c_str(), bytes.data(), bytes.size())) << text;
    return bytes;
}

std::string to_hex(const uint8_t* bytes, size_t size) {
    std::vector<char> text(2 * size + 1);
    bytes_to_hex(bytes, size, text.data());
    return text.data();
}

const std::string kDigestA = "73cb3858a687a8494ca3323053016282f3dad39d42cf62ca4e79dda2aac7d9ac";
const std::string kDigestB = "7aa7a5359173d05b63cfd682e3c38487f3cb4f7f1d60659fe59fab1505977d4c";

TEST(Hex, ExactLengthEitherCaseAndLowerCaseOut) {
    uint8_t bytes[2];
    EXPECT_TRUE(hex_to_bytes("aB0f", bytes, 2));
    EXPECT_EQ(to_hex(bytes, 2), "ab0f");
    for (const char* bad : {"ab0", "ab0ff", "ab0g", "ab 0", "", "+b0f"}) {
        EXPECT_FALSE(hex_to_bytes(bad, bytes, 2)) << bad;
    }
}

// ---- DER signature -> r || s ----------------------------------------------------------------

TEST(DerSignature, OpensslSignaturesDecodeWithPadding) {
    std::string der = read_test_data("release_signing/manifest.json.sig");
    uint8_t rs[kP256SignatureSize];
    ASSERT_TRUE(
        der_signature_to_p256_rs(reinterpret_cast<const uint8_t*>(der.data()), der.size(), rs));
    // Each INTEGER's content, less a sign byte, is the field's 32 bytes.
    size_t r_length = static_cast<uint8_t>(der[3]);
    EXPECT_EQ(to_hex(rs, 32),
              to_hex(reinterpret_cast<const uint8_t*>(der.data()) + 4 + (r_length - 32), 32));

    std::string short_r = read_test_data("release_signing/short-r.txt.sig");
    ASSERT_EQ(short_r[3], 31);
    ASSERT_TRUE(der_signature_to_p256_rs(reinterpret_cast<const uint8_t*>(short_r.data()),
                                         short_r.size(), rs));
    EXPECT_EQ(rs[0], 0);
    EXPECT_EQ(to_hex(rs + 1, 31), to_hex(reinterpret_cast<const uint8_t*>(short_r.data()) + 4, 31));
}

TEST(DerSignature, RefusesAnythingButStrictDer) {
    const std::string r32(64, '1');
    struct Case {
        const char* name;
        std::string der_hex;
        bool accepted;
    };
    const Case cases[] = {
        {"smallest", "3006020101020101", true},
        {"sign byte where needed",
         "3007020200800201"
         "01",
         true},
        {"33-byte r with sign byte",
         "30450221"
         "00" +
             std::string(64, 'f') + "0220" + r32,
         true},
        {"empty", "", false},
        {"not a sequence", "3106020101020101", false},
        {"sequence length too long", "3007020101020101", false},
        {"sequence length too short", "3005020101020101", false},
        {"long-form length", "308106020101020101", false},
        {"trailing byte", "300602010102010100", false},
        {"a third integer", "3009020101020101020101", false},
        {"only one integer", "3003020101", false},
        {"not an integer", "3006030101020101", false},
        {"negative r", "3006020180020101", false},
        {"zero r", "3006020100020101", false},
        {"zero-length s", "30050201010200", false},
        {"needless leading zero", "30070202007f020101", false},
        {"33 bytes without sign byte",
         "30450221"
         "01" +
             std::string(64, 'f') + "0220" + r32,
         false},
        {"s longer than 33 bytes",
         "30460222"
         "0000" +
             r32 + "0220" + r32,
         false},
        {"integer runs past the end", "3006020501020101", false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> der = c.der_hex.empty() ? std::vector<uint8_t>() : from_hex(c.der_hex);
        uint8_t rs[kP256SignatureSize];
        EXPECT_EQ(der_signature_to_p256_rs(der.data(), der.size(), rs), c.accepted) << c.name;
    }
}

// ---- PEM public keys --------------------------------------------------------------------------

TEST(PublicKeyPem, DecodesP256PointsAndRefusesOtherKeys) {
    std::string pem = read_test_data("release_signing/key-a-public.pem");
    uint8_t point[kP256PointSize];
    ASSERT_TRUE(p256_point_from_pem(pem.data(), pem.size(), point));
    // Same point from a CR LF copy, as a Windows checkout writes it.
    std::string crlf;
    for (char c : pem) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    uint8_t again[kP256PointSize];
    ASSERT_TRUE(p256_point_from_pem(crlf.data(), crlf.size(), again));
    EXPECT_EQ(0, std::memcmp(point, again, sizeof(point)));

    std::string flipped = pem;
    flipped[40] = flipped[40] == 'A' ? 'B' : 'A';  // inside the fixed prefix
    std::string cut = pem.substr(0, pem.size() - 30) + "\n-----END PUBLIC KEY-----\n";
    const std::pair<const char*, std::string> refused[] = {
        {"compressed point", read_test_data("release_signing/compressed-public.pem")},
        {"P-384", read_test_data("release_signing/p384-public.pem")},
        {"private key", read_test_data("release_signing/key-a-private.pem")},
        {"changed prefix", flipped},
        {"cut body", cut},
        {"foreign byte", std::string(pem).replace(50, 1, "!")},
        {"no armour", pem.substr(27)},
        {"empty", ""},
    };
    for (const auto& [name, text] : refused) {
        EXPECT_FALSE(p256_point_from_pem(text.data(), text.size(), again)) << name;
    }
}

TEST(PublicKeyPem, EveryCompiledInKeyDecodes) {
    for (size_t i = 0; i < kReleasePublicKeyCount; ++i) {
        uint8_t point[kP256PointSize];
        const ReleasePublicKey& key = kReleasePublicKeys[i];
        EXPECT_TRUE(p256_point_from_pem(key.pem, std::strlen(key.pem), point)) << key.file;
    }
}

// ---- the hash file ----------------------------------------------------------------------------

TEST(FileDigests, ReadsSha256sumLinesAndFindsByListPath) {
    std::string text = "\xEF\xBB\xBF" + kDigestA + "  data/b c.txt\r\n" + kDigestB +
                       " *Velda.exe\n" + std::string(kDigestA).replace(0, 10, "ABCDEF0123") +
                       "  data\\sub\\x.bin";
    FileDigestList list;
    ASSERT_TRUE(list.parse(text.data(), text.size())) << list.error();
    EXPECT_EQ(list.size(), 3u);
    ASSERT_NE(list.find("data/b c.txt"), nullptr);
    EXPECT_EQ(to_hex(list.find("data/b c.txt"), kSha256Size), kDigestA);
    EXPECT_EQ(to_hex(list.find("Velda.exe"), kSha256Size), kDigestB);
    EXPECT_EQ(to_hex(list.find("data\\sub\\x.bin"), 5), "abcdef0123");
    // The list's path text exactly: no case folding, no separator folding, no trimming.
    for (const char* other : {"velda.exe", "data\\b c.txt", " Velda.exe", "Velda.exe ", ""}) {
        EXPECT_EQ(list.find(other), nullptr) << other;
    }

    FileDigestList empty;
    EXPECT_TRUE(empty.parse("", 0));
    EXPECT_EQ(empty.find("Velda.exe"), nullptr);
}

TEST(FileDigests, RefusesMalformedLinesAndDuplicates) {
    struct Case {
        const char* name;
        std::string text;
        size_t line;
    };
    const std::string good = kDigestA + "  a.txt\n";
    const Case cases[] = {
        {"escaped name", good + "\\" + kDigestB + "  a\\\\b\n", 2},
        {"63 digits", kDigestA.substr(1) + "  a.txt\n", 1},
        {"65 digits", kDigestA + "0  a.txt\n", 1},
        {"not hex", std::string(kDigestA).replace(5, 1, "g") + "  a.txt\n", 1},
        {"one blank", kDigestA + " a.txt\n", 1},
        {"tab separator", kDigestA + "\t a.txt\n", 1},
        {"no path", kDigestA + "  \n", 1},
        {"empty line", good + "\n" + kDigestB + "  b.txt\n", 2},
        {"duplicate path", good + kDigestB + "  b.txt\n" + kDigestB + "  a.txt\n", 3},
        {"NUL byte", good + kDigestB + "  b\0c"s, 0},
    };
    for (const Case& c : cases) {
        FileDigestList list;
        EXPECT_FALSE(list.parse(c.text.data(), c.text.size())) << c.name;
        EXPECT_EQ(list.error_line(), c.line) << c.name;
        EXPECT_EQ(list.size(), 0u) << c.name;
        EXPECT_EQ(list.find("a.txt"), nullptr) << c.name;
    }
}

// ---- the manifest's hash members --------------------------------------------------------------

TEST(ManifestHashes, NewMembersNeitherMisleadOldKeysNorGetCut) {
    // Every new member first, with values that end in the old keys' names.
    std::string json = "{\"package_sha256\": \"" + kDigestA + "\", \"direct_sha256\": \"" +
                       kDigestB + "\", \"changed_files_sha256\": \"" + kDigestA +
                       "\", \"changed_files_hashes_url\": \"https://h/c/velda-url.sha256"
                       "\", \"changed_files_hashes_sha256\": \"" +
                       kDigestB +
                       "\", \"version\": \"1.1.0\", \"url\": \"https://h/v.zip\""
                       ", \"changed_from_version\": \"1.0.0\""
                       ", \"changed_files_url\": \"https://h/c/l.txt\""
                       ", \"changed_files_base_url\": \"https://h/c/files\"}";
    Manifest m;
    manifest_extract(json.c_str(), &m);
    EXPECT_STREQ(m.version, "1.1.0");
    EXPECT_STREQ(m.url, "https://h/v.zip");
    EXPECT_STREQ(m.changed_files_url, "https://h/c/l.txt");
    EXPECT_STREQ(m.changed_files_base_url, "https://h/c/files");
    EXPECT_STREQ(m.changed_files_hashes_url, "https://h/c/velda-url.sha256");
    ExpectedDigest package = ExpectedDigest::from_field(m.package_sha256);
    ASSERT_NE(package.bytes(), nullptr);
    EXPECT_EQ(to_hex(package.bytes(), kSha256Size), kDigestA);
    ExpectedDigest hashes = ExpectedDigest::from_field(m.changed_files_hashes_sha256);
    ASSERT_NE(hashes.bytes(), nullptr);
    EXPECT_EQ(to_hex(hashes.bytes(), kSha256Size), kDigestB);

    // Upper case reads; a value one digit long or short is refused, not cut or padded.
    std::string upper = "{\"direct_sha256\": \"" + std::string(64, 'F') + "\"}";
    manifest_extract(upper.c_str(), &m);
    EXPECT_NE(ExpectedDigest::from_field(m.direct_sha256).bytes(), nullptr);
    for (const std::string& value : {kDigestA + "0", kDigestA.substr(1), std::string()}) {
        std::string text = "{\"direct_sha256\": \"" + value + "\"}";
        manifest_extract(text.c_str(), &m);
        EXPECT_EQ(ExpectedDigest::from_field(m.direct_sha256).bytes(), nullptr) << value;
    }
}

// A download goes ahead with a digest to check, or with none where nobody had to vouch for it;
// a value that is there but unreadable never lets it.
TEST(ExpectedDigest, DecidesWhetherADownloadMayStart) {
    struct Case {
        std::string field;
        ExpectedDigest::State state;
        bool unsigned_ok;
        bool signed_ok;
    };
    const Case cases[] = {
        {"", ExpectedDigest::State::Absent, true, false},
        {kDigestA, ExpectedDigest::State::Given, true, true},
        {kDigestA.substr(1), ExpectedDigest::State::Malformed, false, false},
        {std::string(64, 'g'), ExpectedDigest::State::Malformed, false, false},
    };
    for (const Case& c : cases) {
        ExpectedDigest digest = ExpectedDigest::from_field(c.field.c_str());
        EXPECT_EQ(digest.state(), c.state) << c.field;
        EXPECT_EQ(digest.allows_download(false), c.unsigned_ok) << c.field;
        EXPECT_EQ(digest.allows_download(true), c.signed_ok) << c.field;
        EXPECT_EQ(digest.bytes() != nullptr, c.state == ExpectedDigest::State::Given);
    }
    ExpectedDigest given = ExpectedDigest::from_field(kDigestA.c_str());
    EXPECT_EQ(to_hex(given.bytes(), kSha256Size), kDigestA);
}

}  // namespace
