#pragma once

#include <string>
#include <string_view>

namespace velda {

// Rules for the bytes of manifest values, URLs and product paths, shared by pack and check.

// The launcher copies values raw, so a value must hold no double quote, no backslash and no
// control byte. On false, why says which byte and where.
[[nodiscard]] bool value_is_raw_safe(std::string_view value, std::string* why);

// "http://" or "https://" followed by at least one byte of host.
bool is_http_url(std::string_view url);

// The download server as the launcher is built with it: scheme, host and optional port, no
// path. Trailing slashes are dropped.
[[nodiscard]] bool clean_server_base(std::string_view text, std::string* clean, std::string* why);

std::string percent_decode(std::string_view text);

// The path of an http(s) URL without query or fragment, percent-decoded, as a server looks it
// up; empty when the text is no http(s) URL or has no path.
std::string url_request_path(std::string_view url);

// Percent-encodes what WinHTTP would (space, backslash, control and non-ASCII bytes and the
// other bytes that may not appear raw in a request line); keeps "%" as it is.
std::string encode_url_for_request(std::string_view url);

// One segment of a product path: false with a reason when Windows cannot hold it, by the
// launcher's own name rule.
[[nodiscard]] bool windows_name_usable(std::string_view name, std::string* why);

std::string ascii_lower(std::string_view text);

// "line L, column C" of a byte offset, both counted from 1.
std::string describe_offset(std::string_view text, size_t offset);

// The text with every non-printable byte written as \xNN, for messages.
std::string printable(std::string_view text);

// Seconds since 1970 as UTC time text, "2026-12-09T05:00:00Z".
[[nodiscard]] std::string utc_time_text_of(long long seconds);

}  // namespace velda
