#include <curl/curl.h>

#include "fetch.h"
#include "release_text.h"

namespace velda {

namespace {

size_t on_body(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

}  // namespace

bool fetch_url(const std::string& url, const FetchOptions& options, std::string* body,
               std::string* error) {
    body->clear();
    static bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialized) {
        *error = "libcurl could not start";
        return false;
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        *error = "libcurl could not start";
        return false;
    }
    std::string request = encode_url_for_request(url);
    char message[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, request.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "velda-release");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 20L);
    // The launcher follows no redirect of its own accord either way; a check should see what
    // the server answers at this exact URL.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    if (!options.ca_file.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.ca_file.c_str());
    }
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        *error = message[0] != '\0' ? message : curl_easy_strerror(code);
        return false;
    }
    if (status < 200 || status > 299) {
        *error = "status " + std::to_string(status);
        return false;
    }
    return true;
}

}  // namespace velda
