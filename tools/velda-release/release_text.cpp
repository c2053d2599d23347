#include "release_text.h"

#include <cstdio>

#include "common/hex.h"
#include "common/text.h"
#include "net/url_filename.h"

namespace velda {

namespace {

std::string hex_byte(unsigned char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "%02X", c);
    return buffer;
}

bool has_prefix_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equals_ignoring_ascii_case(text.substr(0, prefix.size()), prefix);
}

size_t scheme_length(std::string_view url) {
    if (has_prefix_ignoring_case(url, "https://")) {
        return 8;
    }
    if (has_prefix_ignoring_case(url, "http://")) {
        return 7;
    }
    return 0;
}

}  // namespace

bool value_is_raw_safe(std::string_view value, std::string* why) {
    for (size_t i = 0; i < value.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        const char* what = nullptr;
        if (c == '"') {
            what = "a double quote";
        } else if (c == '\\') {
            what = "a backslash";
        } else if (c < 0x20 || c == 0x7F) {
            what = "a control byte";
        }
        if (what != nullptr) {
            *why = std::string("holds ") + what + " at byte " + std::to_string(i + 1);
            return false;
        }
    }
    return true;
}

bool is_http_url(std::string_view url) {
    size_t scheme = scheme_length(url);
    return scheme > 0 && url.size() > scheme && url[scheme] != '/';
}

bool clean_server_base(std::string_view text, std::string* clean, std::string* why) {
    while (!text.empty() && text.back() == '/') {
        text.remove_suffix(1);
    }
    if (!is_http_url(text)) {
        *why = "must start with http:// or https:// and name a host";
        return false;
    }
    std::string_view host = text.substr(scheme_length(text));
    for (char c : host) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '?' || c == '#' || c == '"' || c == '\\' || u <= 0x20 || u == 0x7F) {
            *why =
                "must be scheme://host[:port] without a path: the launcher asks for "
                "/downloads/latest.json at the server's root";
            return false;
        }
    }
    *clean = std::string(text);
    return true;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hex_digit_value(text[i + 1]);
            int low = hex_digit_value(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string url_request_path(std::string_view url) {
    size_t scheme = scheme_length(url);
    if (scheme == 0) {
        return "";
    }
    std::string_view rest = url.substr(scheme);
    size_t slash = rest.find('/');
    size_t stop = rest.find_first_of("?#");
    if (slash == std::string_view::npos || (stop != std::string_view::npos && stop < slash)) {
        return "";
    }
    std::string_view path = rest.substr(slash);
    size_t end = path.find_first_of("?#");
    if (end != std::string_view::npos) {
        path = path.substr(0, end);
    }
    return percent_decode(path);
}

std::string encode_url_for_request(std::string_view url) {
    std::string out;
    for (char c : url) {
        unsigned char u = static_cast<unsigned char>(c);
        bool raw = u > 0x20 && u < 0x7F && c != '"' && c != '<' && c != '>' && c != '\\' &&
                   c != '^' && c != '`' && c != '{' && c != '|' && c != '}';
        if (raw) {
            out.push_back(c);
        } else {
            out += "%" + hex_byte(u);
        }
    }
    return out;
}

bool windows_name_usable(std::string_view name, std::string* why) {
    size_t at = 0;
    switch (file_name_fault(name, &at)) {
        case FileNameFault::None:
            return true;
        case FileNameFault::Empty:
            *why = "has an empty name";
            break;
        case FileNameFault::ForbiddenByte:
            *why = "holds a byte Windows refuses in a name (" + printable(name.substr(at, 1)) + ")";
            break;
        case FileNameFault::TrailingDotOrSpace:
            *why = "ends with a dot or a space, which Windows drops";
            break;
        case FileNameFault::DeviceName:
            *why = "is a device name on Windows";
            break;
    }
    return false;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string describe_offset(std::string_view text, size_t offset) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            out += "\\x" + hex_byte(u);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string utc_time_text_of(long long seconds) {
    // Days since 1970 to a civil date (the proleptic Gregorian calendar), as in H. Hinnant's
    // days_from_civil inverted; no gmtime, whose thread safety and range differ by platform.
    long long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    long long of_day = seconds - days * 86400;
    long long shifted = days + 719468;
    long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    long long day_of_era = shifted - era * 146097;
    long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    long long day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    long long month_index = (5 * day_of_year + 2) / 153;
    long long day = day_of_year - (153 * month_index + 2) / 5 + 1;
    long long month = month_index < 10 ? month_index + 3 : month_index - 9;
    long long year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    char text[160];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                  of_day / 3600, of_day / 60 % 60, of_day % 60);
    return text;
}

}  // namespace velda
