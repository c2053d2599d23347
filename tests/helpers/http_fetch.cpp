// Test client of the transfer: "http_fetch memory URL", "http_fetch file URL PATH", or
// "http_fetch continue URL PATH SHA256": the continuing to-file GET, called again at once after
// each failure while it makes headway, with the expected digest. HTTP_FETCH_MAX_BYTES, when
// set, is the GET's bound on the body.
// Prints one JSON object: the result, what was received, and the progress calls.
#include <windows.h>
#include <bcrypt.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/hex.h"
#include "common/wide.h"
#include "net/http.h"

using namespace velda;

namespace {

using Call = std::pair<uint32_t, uint32_t>;

// The length printed when the GET failed: a failed GET hands out no body.
constexpr uint32_t kUntouched = 0xFFFFFFFF;

void record_call(uint32_t received, uint32_t total, void* user_data) {
    static_cast<std::vector<Call>*>(user_data)->emplace_back(received, total);
}

std::string sha256_hex(const char* data, uint32_t length) {
    unsigned char digest[32] = {};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool hashed = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                             nullptr, 0)) &&
                  BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
                  BCRYPT_SUCCESS(BCryptHashData(
                      hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), length, 0)) &&
                  BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr) {
        BCryptDestroyHash(hash);
    }
    if (algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (!hashed) {
        return "";
    }
    std::string hex;
    char pair[3];
    for (unsigned char byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::string narrow(const wchar_t* text, UINT code_page) {
    int size = WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(code_page, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Long lists are summed up: the first and last calls, their count, and the totals seen.
void print_calls(const std::vector<Call>& calls) {
    constexpr size_t kFullList = 4000;
    bool rising = true;
    for (size_t i = 1; i < calls.size(); ++i) {
        rising = rising && calls[i].first >= calls[i - 1].first;
    }
    std::printf("\"calls\":%zu,\"rising\":%s,\"totals\":[", calls.size(),
                rising ? "true" : "false");
    std::vector<uint32_t> totals;
    for (const Call& call : calls) {
        if (totals.empty() || totals.back() != call.second) {
            totals.push_back(call.second);
        }
    }
    for (size_t i = 0; i < totals.size() && i < 16; ++i) {
        std::printf("%s%u", i ? "," : "", totals[i]);
    }
    std::printf("],\"progress\":[");
    size_t shown = calls.size() <= kFullList ? calls.size() : 8;
    for (size_t i = 0; i < shown; ++i) {
        std::printf("%s[%u,%u]", i ? "," : "", calls[i].first, calls[i].second);
    }
    std::printf("],\"last\":");
    if (calls.empty()) {
        std::printf("null");
    } else {
        std::printf("[%u,%u]", calls.back().first, calls.back().second);
    }
}

uint64_t bound_from_environment() {
    const char* text = std::getenv("HTTP_FETCH_MAX_BYTES");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : kNoBodyBound;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    bool to_memory = argc == 3 && std::wcscmp(argv[1], L"memory") == 0;
    bool to_file = argc == 4 && std::wcscmp(argv[1], L"file") == 0;
    bool continuing = argc == 5 && std::wcscmp(argv[1], L"continue") == 0;
    if (!to_memory && !to_file && !continuing) {
        std::fprintf(stderr,
                     "usage: http_fetch memory URL | http_fetch file URL PATH | "
                     "http_fetch continue URL PATH SHA256\n");
        return 2;
    }
    // Callers hold UTF-8 URLs and convert them just before the transfer.
    std::string url_utf8 = narrow(argv[2], CP_UTF8);
    std::vector<wchar_t> url(url_utf8.size() + 1);
    utf8_to_wide(url_utf8.c_str(), url.data(), static_cast<int>(url.size()));

    uint64_t max_bytes = bound_from_environment();
    std::vector<Call> calls;
    calls.reserve(1 << 16);
    TransferResult result;
    std::printf("{");
    if (to_memory) {
        HttpBody body;
        result =
            http_get_to_memory_with_progress(url.data(), &body, record_call, &calls, 0, max_bytes);
        uint32_t length = result ? body.size() : kUntouched;
        std::printf("\"result\":%s,\"length\":%u,", result ? "true" : "false", length);
        // The benchmark times the GET alone and sets HTTP_FETCH_NO_HASH.
        bool hash = std::getenv("HTTP_FETCH_NO_HASH") == nullptr;
        if (body.data() != nullptr) {
            const char* data = body.data();
            std::printf("\"sha256\":\"%s\",\"block\":%zu,\"nul\":%s,",
                        hash ? sha256_hex(data, length).c_str() : "",
                        _msize(const_cast<char*>(data)), data[length] == '\0' ? "true" : "false");
        } else {
            std::printf("\"sha256\":null,\"block\":null,\"nul\":null,");
        }
    } else if (continuing) {
        std::string path = narrow(argv[3], CP_ACP);
        uint8_t expected[kSha256Size] = {};
        if (!hex_to_bytes(narrow(argv[4], CP_ACP).c_str(), expected, sizeof expected)) {
            std::fprintf(stderr, "http_fetch: not a SHA-256\n");
            return 2;
        }
        ContinuableDownload download;
        download.max_bytes = max_bytes;
        int attempts = 0;
        uint64_t best = 0;
        for (;;) {
            ++attempts;
            result = http_get_to_file_continuing(url.data(), path.c_str(), record_call, &calls,
                                                 expected, &download);
            if (result || download.part.have() <= best) {
                break;
            }
            best = download.part.have();
        }
        std::printf("\"result\":%s,\"attempts\":%d,", result ? "true" : "false", attempts);
    } else {
        std::string path = narrow(argv[3], CP_ACP);
        result = http_get_to_file_with_progress(url.data(), path.c_str(), record_call, &calls,
                                                nullptr, 0, max_bytes);
        std::printf("\"result\":%s,", result ? "true" : "false");
    }
    std::printf("\"stage\":\"%s\",\"status\":%u,\"error\":%u,", transfer_stage_name(result.stage),
                result.http_status, result.win32_error);
    print_calls(calls);
    std::printf("}\n");
    http_close_session();
    return result ? 0 : 1;
}
