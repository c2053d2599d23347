// Adds a DER certificate to the LocalMachine ROOT store, so that WinHTTP trusts the test CA.
//
//   trust_ca.exe CERT.der
//
// Exits 0 on success, 1 on failure, 2 on bad arguments.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "common/win_handle.h"

using namespace velda;

namespace {

bool read_all(const char* path, std::vector<BYTE>* out) {
    UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size == 0) {
        return false;
    }
    out->resize(size);
    DWORD got = 0;
    return ReadFile(file.get(), out->data(), size, &got, nullptr) && got == size;
}

struct StoreTraits {
    using Type = HCERTSTORE;
    static Type empty() { return nullptr; }
    static void close(Type value) { CertCloseStore(value, 0); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: trust_ca CERT.der\n");
        return 2;
    }
    std::vector<BYTE> der;
    if (!read_all(argv[1], &der)) {
        fprintf(stderr, "trust_ca: cannot read %s\n", argv[1]);
        return 1;
    }
    UniqueAny<StoreTraits> store(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT"));
    if (!store) {
        fprintf(stderr, "trust_ca: cannot open the ROOT store, error %lu\n", GetLastError());
        return 1;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        fprintf(stderr, "trust_ca: cannot add the certificate, error %lu\n", GetLastError());
        return 1;
    }
    printf("trusted %s\n", argv[1]);
    return 0;
}
