#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "release_crypto.h"

namespace velda {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using UniqueBio = std::unique_ptr<BIO, BioFree>;
using UniqueMdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string openssl_error(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return what;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return std::string(what) + " (" + text + ")";
}

bool is_p256(EVP_PKEY* key) {
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, "group", group, sizeof(group), &length) &&
           std::strcmp(group, "prime256v1") == 0;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

bool release_sha256(std::string_view data, uint8_t digest[kSha256Size]) {
    unsigned int length = 0;
    return EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
           length == kSha256Size;
}

bool release_signing_available() {
    return true;
}

bool generate_release_key_pair(std::string* private_pem, std::string* public_pem,
                               std::string* error) {
    UniquePkey key(EVP_EC_gen("P-256"));
    UniqueBio private_bio(BIO_new(BIO_s_secmem()));
    UniqueBio public_bio(BIO_new(BIO_s_mem()));
    if (!key || !private_bio || !public_bio) {
        *error = openssl_error("cannot make a P-256 key");
        return false;
    }
    if (PEM_write_bio_PrivateKey(private_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        PEM_write_bio_PUBKEY(public_bio.get(), key.get()) != 1) {
        *error = openssl_error("cannot write the key as PEM");
        return false;
    }
    *private_pem = bio_text(private_bio.get());
    *public_pem = bio_text(public_bio.get());
    return true;
}

bool sign_release_message(const std::string& private_key_file, std::string_view message,
                          std::string* der, std::string* error) {
    UniqueBio file(BIO_new_file(private_key_file.c_str(), "rb"));
    if (!file) {
        *error = openssl_error(("cannot open the key " + private_key_file).c_str());
        return false;
    }
    UniquePkey key(PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        *error = openssl_error((private_key_file + " holds no PEM private key").c_str());
        return false;
    }
    if (!is_p256(key.get())) {
        *error = private_key_file + " is not an EC P-256 private key";
        return false;
    }
    UniqueMdCtx context(EVP_MD_CTX_new());
    size_t length = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        *error = openssl_error("cannot sign");
        return false;
    }
    der->assign(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der->data()), &length,
                       reinterpret_cast<const unsigned char*>(message.data()),
                       message.size()) != 1) {
        *error = openssl_error("cannot sign");
        return false;
    }
    der->resize(length);
    return true;
}

bool verify_release_message(std::string_view public_pem, std::string_view message,
                            std::string_view der, std::string* error) {
    UniqueBio bio(BIO_new_mem_buf(public_pem.data(), static_cast<int>(public_pem.size())));
    UniquePkey key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || !is_p256(key.get())) {
        ERR_clear_error();
        *error = "not an EC P-256 public key";
        return false;
    }
    UniqueMdCtx context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        *error = openssl_error("cannot verify");
        return false;
    }
    int verdict = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char*>(der.data()), der.size(),
        reinterpret_cast<const unsigned char*>(message.data()), message.size());
    ERR_clear_error();
    if (verdict != 1) {
        *error = "the signature does not match";
        return false;
    }
    return true;
}

}  // namespace velda
