// Stand-in for Windows PowerShell in test prefixes, installed where the launcher looks for it
// (C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe, and system32\powershell.exe; with
// WINEDLLOVERRIDES=powershell.exe=n). It accepts exactly the extraction command, in either form,
// and does what that script does: every entry of the ZIP into the destination, one
// "PROGRESS:i:total" line after each, "PROGRESS:1:1" for an empty archive.
//
// The launcher's form (first error ends) reads both paths from $env:VELDA_EXTRACT_ZIP and
// $env:VELDA_EXTRACT_DEST; that form with a path in its text is refused (exit 2). The script as
// it stands takes its paths between single quotes, read as PowerShell reads them: any of the five
// quote characters (' and U+2018 to U+201B) ends the string, two in a row stand for one.
//
// An entry that cannot be written (a folder where the package has a file, a locked file, bad
// data): its error on standard error. The script as it stands then goes on with the next entry
// and still exits 0; the guarded form stops there with exit 1. A package it cannot open (or an
// unset path variable): exit 1 in both forms, the plain one after "PROGRESS:1:1" and a failing
// Dispose() on null.
//
// Any other command line: message on standard error, exit 2.
//
// Environment:
//   VELDA_PS_LOG=path      append one JSON line per run to this file (proof that it ran): the
//                          command line and the two path variables as it received them, in UTF-8,
//                          {"command_line": ..., "VELDA_EXTRACT_ZIP": ..., "VELDA_EXTRACT_DEST":
//                          ...} (null for an unset variable), as Python's
//                          json.dumps(ensure_ascii=False)
//   VELDA_PS_SPLIT=1       write the output one byte per write, flushed after each
//   VELDA_PS_NOISE=n       write an n-byte line of noise after every progress line; from 600
//                          bytes on it carries "PROGRESS:999:1" at byte 511, which a reader must
//                          drop with the rest of the overlong line
//   VELDA_PS_SILENT=1      write nothing at all
//   VELDA_PS_NO_EOL=1      end the last progress line without CR LF
//   VELDA_PS_EXIT=n        exit with n after the full progress
//   VELDA_PS_SLOW_MS=n     sleep n ms before each entry (once for an empty archive)

#include <windows.h>
#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "install/extract_command.h"
#include "common/little_endian.h"
#include "common/win_handle.h"

using namespace velda;

namespace {

struct Options {
    bool split = false;
    unsigned long noise = 0;
    bool silent = false;
    bool no_eol = false;
    unsigned long exit_code = 0;
    unsigned long slow_ms = 0;
};

unsigned long env_number(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? 0 : std::strtoul(value, nullptr, 10);
}

Options read_options() {
    Options options;
    options.split = env_number("VELDA_PS_SPLIT") != 0;
    options.noise = env_number("VELDA_PS_NOISE");
    options.silent = env_number("VELDA_PS_SILENT") != 0;
    options.no_eol = env_number("VELDA_PS_NO_EOL") != 0;
    options.exit_code = env_number("VELDA_PS_EXIT");
    options.slow_ms = env_number("VELDA_PS_SLOW_MS");
    return options;
}

bool write_all(HANDLE handle, const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

class Output {
  public:
    explicit Output(const Options& options) : options_(options) {}

    void write(const std::string& text) {
        if (options_.silent) {
            return;
        }
        HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        if (!options_.split) {
            write_all(out, text.data(), text.size());
            return;
        }
        // A flushed pipe write returns once the reader has taken the byte, so every byte
        // reaches the reader in a read of its own.
        for (char c : text) {
            write_all(out, &c, 1);
            FlushFileBuffers(out);
        }
    }

    void progress(unsigned long long done, unsigned long long total, bool last) {
        char line[64];
        std::snprintf(line, sizeof(line), "PROGRESS:%llu:%llu%s", done, total,
                      last && options_.no_eol ? "" : "\r\n");
        write(line);
        if (options_.noise > 0 && !(last && options_.no_eol)) {
            write(noise_line());
        }
    }

  private:
    std::string noise_line() const {
        std::string noise(options_.noise, 'n');
        const char bogus[] = "PROGRESS:999:1";
        if (noise.size() >= 600) {
            noise.replace(511, sizeof(bogus) - 1, bogus);
        }
        return noise + "\r\n";
    }

    Options options_;
};

void fail_message(const std::string& message) {
    std::string line = "powershell stand-in: " + message + "\r\n";
    write_all(GetStdHandle(STD_ERROR_HANDLE), line.data(), line.size());
}

std::wstring to_wide(const std::string& text, UINT code_page) {
    if (text.empty()) {
        return {};
    }
    int units =
        MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), out.data(),
                        units);
    return out;
}

std::string to_utf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes,
                        nullptr, nullptr);
    return out;
}

// A variable of this process's environment as PowerShell's $env: reads it; false when unset.
bool environment_value(const wchar_t* name, std::wstring* value) {
    DWORD units = GetEnvironmentVariableW(name, nullptr, 0);
    if (units == 0) {
        return false;
    }
    value->assign(units, L'\0');
    units = GetEnvironmentVariableW(name, value->data(), units);
    value->resize(units);
    return true;
}

// A JSON string as Python's json.dumps(..., ensure_ascii=False) writes it, null when absent.
std::string json_string(const std::string* text) {
    if (text == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (unsigned char c : *text) {
        const char* escape = c == '"'    ? "\\\""
                             : c == '\\' ? "\\\\"
                             : c == '\n' ? "\\n"
                             : c == '\r' ? "\\r"
                             : c == '\t' ? "\\t"
                             : c == '\b' ? "\\b"
                             : c == '\f' ? "\\f"
                                         : nullptr;
        if (escape != nullptr) {
            out += escape;
        } else if (c < 0x20) {
            char code[8];
            std::snprintf(code, sizeof(code), "\\u%04x", c);
            out += code;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

std::string json_variable(const wchar_t* name) {
    std::wstring value;
    if (!environment_value(name, &value)) {
        return json_string(nullptr);
    }
    std::string utf8 = to_utf8(value);
    return json_string(&utf8);
}

// One JSON line per run: the command line and the two variables the paths come in, as this
// process received them.
void log_run(const std::string& command_line) {
    const char* log_path = std::getenv("VELDA_PS_LOG");
    if (log_path == nullptr || log_path[0] == '\0') {
        return;
    }
    std::string line = "{\"command_line\": " + json_string(&command_line) +
                       ", \"VELDA_EXTRACT_ZIP\": " + json_variable(kExtractZipVariable) +
                       ", \"VELDA_EXTRACT_DEST\": " + json_variable(kExtractDestinationVariable) +
                       "}\n";
    FILE* log = std::fopen(log_path, "ab");
    if (log != nullptr) {
        std::fwrite(line.data(), 1, line.size(), log);
        std::fclose(log);
    }
}

bool starts_with(const char* text, const std::string& prefix) {
    return std::strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

// Reads a single-quoted string as PowerShell's tokenizer does: any of the five quote characters
// opens and closes it, and two in a row stand for the second one.
bool read_single_quoted(const char** cursor, std::string* out) {
    const char* p = *cursor;
    size_t length = 0;
    if (!is_powershell_single_quote(p, &length)) {
        return false;
    }
    p += length;
    for (;;) {
        if (*p == '\0') {
            return false;  // the string never ends: a parse error
        }
        if (is_powershell_single_quote(p, &length)) {
            size_t next_length = 0;
            if (!is_powershell_single_quote(p + length, &next_length)) {
                p += length;
                break;
            }
            out->append(p + length, next_length);
            p += length + next_length;
            continue;
        }
        out->push_back(*p++);
    }
    *cursor = p;
    return true;
}

// The value assigned to $zip or $dest: a variable of the environment or a quoted string.
struct Assigned {
    bool from_environment = false;
    std::string text;  // the variable's name, or the string's content
};

bool read_assigned(const char** cursor, Assigned* value) {
    static const std::string kEnvironmentPrefix = "$env:";
    const char* p = *cursor;
    if (!starts_with(p, kEnvironmentPrefix)) {
        value->from_environment = false;
        return read_single_quoted(cursor, &value->text);
    }
    p += kEnvironmentPrefix.size();
    while (std::isalnum(static_cast<unsigned char>(*p)) || *p == '_') {
        value->text.push_back(*p++);
    }
    value->from_environment = true;
    *cursor = p;
    return !value->text.empty();
}

// The command line without its program name, which real PowerShell ignores as well: the rest of
// a command run as "powershell" or through a full path is the same.
const char* after_program_name(const char* command_line) {
    const char* p = command_line;
    bool quoted = false;
    while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
        quoted = *p == '"' ? !quoted : quoted;
        ++p;
    }
    return p;
}

// A command of one form split around its two assignments: head "$zip=" value ";$dest=" value
// tail, the tail starting with the ";" that ends the second one.
struct CommandShape {
    std::string head;
    std::string zip_value;
    std::string between;
    std::string destination_value;
    std::string tail;
};

CommandShape shape_of(const std::string& command) {
    CommandShape shape;
    size_t zip = command.find("$zip=") + 5;
    size_t zip_end = command.find(';', zip);
    size_t destination = command.find("$dest=", zip_end) + 6;
    size_t destination_end = command.find(';', destination);
    shape.head = command.substr(0, zip);
    shape.zip_value = command.substr(zip, zip_end - zip);
    shape.between = command.substr(zip_end, destination - zip_end);
    shape.destination_value = command.substr(destination, destination_end - destination);
    shape.tail = command.substr(destination_end);
    return shape;
}

enum class Parsed { Extraction, NotExtraction, CarriesPath };

struct ExtractPaths {
    Assigned zip;
    Assigned destination;
};

// Reads the command as one form of the script: every byte but the two assigned values must be
// that form's, and each value of the kind the form assigns (a quoted string in the script as it
// stands, the variable of the launcher's form).
Parsed parse_command(const char* command_line, ExtractFailureMode mode, ExtractPaths* paths) {
    const CommandShape shape = shape_of(after_program_name(extract_command_text(mode)));
    const char* cursor = after_program_name(command_line);
    if (!starts_with(cursor, shape.head)) {
        return Parsed::NotExtraction;
    }
    cursor += shape.head.size();
    if (!read_assigned(&cursor, &paths->zip) || !starts_with(cursor, shape.between)) {
        return Parsed::NotExtraction;
    }
    cursor += shape.between.size();
    if (!read_assigned(&cursor, &paths->destination) || std::strcmp(cursor, shape.tail.c_str())) {
        return Parsed::NotExtraction;
    }
    const bool launcher_form = mode == ExtractFailureMode::FirstErrorEnds;
    if (launcher_form && (!paths->zip.from_environment || !paths->destination.from_environment)) {
        return Parsed::CarriesPath;
    }
    const auto expected = [&](const Assigned& value, const std::string& pattern) {
        return launcher_form ? value.from_environment && "$env:" + value.text == pattern
                             : !value.from_environment;
    };
    return expected(paths->zip, shape.zip_value) &&
                   expected(paths->destination, shape.destination_value)
               ? Parsed::Extraction
               : Parsed::NotExtraction;
}

// The path a value stands for: the variable's text as the process received it (UTF-16), or the
// quoted string's. False when the variable is unset or empty.
bool path_of(const Assigned& value, std::wstring* path) {
    if (!value.from_environment) {
        *path = to_wide(value.text, CP_UTF8);
        return true;
    }
    return environment_value(to_wide(value.text, CP_UTF8).c_str(), path) && !path->empty();
}

bool is_separator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// What New-Item -ItemType Directory -Force does: every missing level, an existing one is fine.
bool create_directories(const std::wstring& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && !is_separator(path[i])) {
            continue;
        }
        std::wstring prefix = path.substr(0, i);
        if (prefix.empty() || prefix.back() == L':') {
            continue;
        }
        DWORD attributes = GetFileAttributesW(prefix.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                return false;
            }
            continue;
        }
        if (!CreateDirectoryW(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return true;
}

// Join-Path: exactly one backslash between the folder and the entry name.
std::wstring join_path(std::wstring folder, std::wstring child) {
    while (folder.size() > 1 && is_separator(folder.back())) {
        folder.pop_back();
    }
    size_t start = 0;
    while (start < child.size() && is_separator(child[start])) {
        ++start;
    }
    return folder + L"\\" + child.substr(start);
}

// Split-Path -Parent: everything before the last separator.
std::wstring parent_of(const std::wstring& path) {
    size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

struct ZipEntry {
    std::wstring name;
    uint16_t flags;
    uint16_t method;
    uint32_t crc;
    uint64_t compressed_size;
    uint64_t size;
    uint64_t local_header_offset;
};

class ZipReader {
  public:
    bool open(const std::wstring& path) {
        file_.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file_) {
            error_ = "cannot open the package";
            return false;
        }
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_.get(), &size)) {
            error_ = "cannot size the package";
            return false;
        }
        size_ = static_cast<uint64_t>(size.QuadPart);
        return read_directory();
    }

    bool read_at(uint64_t offset, void* out, size_t length) {
        if (offset > size_ || length > size_ - offset) {
            return false;
        }
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(offset);
        if (!SetFilePointerEx(file_.get(), position, nullptr, FILE_BEGIN)) {
            return false;
        }
        auto* bytes = static_cast<char*>(out);
        while (length > 0) {
            DWORD chunk = length > (1u << 20) ? (1u << 20) : static_cast<DWORD>(length);
            DWORD received = 0;
            if (!ReadFile(file_.get(), bytes, chunk, &received, nullptr) || received == 0) {
                return false;
            }
            bytes += received;
            length -= received;
        }
        return true;
    }

    const std::vector<ZipEntry>& entries() const { return entries_; }
    const std::string& error() const { return error_; }

    // Offset of an entry's data, after its local header.
    bool data_offset(const ZipEntry& entry, uint64_t* offset) {
        unsigned char header[30];
        if (!read_at(entry.local_header_offset, header, sizeof(header)) ||
            load_le32(header) != 0x04034b50) {
            return false;
        }
        *offset = entry.local_header_offset + 30 + load_le16(header + 26) + load_le16(header + 28);
        return *offset <= size_ && entry.compressed_size <= size_ - *offset;
    }

  private:
    bool corrupt(const char* what) {
        error_ = std::string("the package is not a readable ZIP archive: ") + what;
        return false;
    }

    bool read_directory() {
        uint64_t tail_size = size_ < 65557 ? size_ : 65557;
        if (tail_size < 22) {
            return corrupt("no end of central directory");
        }
        std::vector<unsigned char> tail(static_cast<size_t>(tail_size));
        if (!read_at(size_ - tail_size, tail.data(), tail.size())) {
            return corrupt("unreadable end");
        }
        size_t end = tail.size() - 22 + 1;
        bool found = false;
        while (end-- > 0) {
            if (load_le32(&tail[end]) == 0x06054b50 &&
                end + 22 + load_le16(&tail[end + 20]) == tail.size()) {
                found = true;
                break;
            }
        }
        if (!found) {
            return corrupt("no end of central directory");
        }
        const unsigned char* record = &tail[end];
        uint64_t end_offset = size_ - tail_size + end;
        uint64_t count = load_le16(record + 10);
        uint64_t directory_size = load_le32(record + 12);
        uint64_t directory_offset = load_le32(record + 16);
        bool saturated_disks = load_le16(record + 4) == 0xFFFF && load_le16(record + 6) == 0xFFFF;
        if (!saturated_disks && (load_le16(record + 4) != 0 || load_le16(record + 6) != 0)) {
            return corrupt("multi-disk archive");
        }
        if (saturated_disks || count == 0xFFFF || directory_size == 0xFFFFFFFF ||
            directory_offset == 0xFFFFFFFF) {
            unsigned char locator[20];
            if (end_offset < 20 || !read_at(end_offset - 20, locator, sizeof(locator)) ||
                load_le32(locator) != 0x07064b50) {
                return corrupt("missing ZIP64 locator");
            }
            unsigned char zip64_end[56];
            if (!read_at(load_le64(locator + 8), zip64_end, sizeof(zip64_end)) ||
                load_le32(zip64_end) != 0x06064b50) {
                return corrupt("missing ZIP64 end record");
            }
            count = load_le64(zip64_end + 32);
            directory_size = load_le64(zip64_end + 40);
            directory_offset = load_le64(zip64_end + 48);
        }
        if (directory_offset > size_ || directory_size > size_ - directory_offset ||
            count > directory_size / 46 + 1) {
            return corrupt("central directory out of the file");
        }
        std::vector<unsigned char> directory(static_cast<size_t>(directory_size));
        if (!read_at(directory_offset, directory.data(), directory.size())) {
            return corrupt("unreadable central directory");
        }
        size_t at = 0;
        for (uint64_t i = 0; i < count; ++i) {
            if (directory.size() - at < 46 || load_le32(&directory[at]) != 0x02014b50) {
                return corrupt("bad central directory entry");
            }
            const unsigned char* header = &directory[at];
            size_t name_length = load_le16(header + 28);
            size_t extra_length = load_le16(header + 30);
            size_t comment_length = load_le16(header + 32);
            if (directory.size() - at - 46 < name_length + extra_length + comment_length) {
                return corrupt("central directory entry cut short");
            }
            ZipEntry entry;
            entry.flags = load_le16(header + 8);
            entry.method = load_le16(header + 10);
            entry.crc = load_le32(header + 16);
            entry.compressed_size = load_le32(header + 20);
            entry.size = load_le32(header + 24);
            entry.local_header_offset = load_le32(header + 42);
            std::string raw_name(reinterpret_cast<const char*>(header + 46), name_length);
            // Bit 11: the name is UTF-8; otherwise it is in the DOS code page.
            entry.name = to_wide(raw_name, (entry.flags & 0x0800) ? CP_UTF8 : 437);
            if (!read_zip64_extra(header + 46 + name_length, extra_length, &entry)) {
                return corrupt("bad ZIP64 extra field");
            }
            entries_.push_back(entry);
            at += 46 + name_length + extra_length + comment_length;
        }
        return true;
    }

    static bool read_zip64_extra(const unsigned char* extra, size_t length, ZipEntry* entry) {
        size_t at = 0;
        while (length - at >= 4) {
            uint16_t id = load_le16(extra + at);
            size_t field_length = load_le16(extra + at + 2);
            if (length - at - 4 < field_length) {
                return false;
            }
            if (id == 0x0001) {
                const unsigned char* field = extra + at + 4;
                size_t used = 0;
                uint64_t* values[] = {&entry->size, &entry->compressed_size,
                                      &entry->local_header_offset};
                for (uint64_t* value : values) {
                    if (*value != 0xFFFFFFFF) {
                        continue;
                    }
                    if (field_length - used < 8) {
                        return false;
                    }
                    *value = load_le64(field + used);
                    used += 8;
                }
            }
            at += 4 + field_length;
        }
        return true;
    }

    UniqueFileHandle file_;
    uint64_t size_ = 0;
    std::vector<ZipEntry> entries_;
    std::string error_;
};

// ExtractToFile with overwrite: the entry's bytes into target, checked against size and CRC.
bool extract_entry(ZipReader* zip, const ZipEntry& entry, const std::wstring& target,
                   std::string* error) {
    if (entry.flags & 0x0001) {
        *error = "encrypted entries are not supported";
        return false;
    }
    if (entry.method != 0 && entry.method != 8) {
        *error = "unsupported compression method " + std::to_string(entry.method);
        return false;
    }
    uint64_t offset = 0;
    if (!zip->data_offset(entry, &offset)) {
        *error = "bad local header";
        return false;
    }
    UniqueFileHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        *error = "cannot write the target, error " + std::to_string(GetLastError());
        return false;
    }

    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    if (entry.method == 8 && inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        *error = "inflate cannot start";
        return false;
    }
    struct InflateEnd {
        z_stream* stream;
        bool active;
        ~InflateEnd() {
            if (active) {
                inflateEnd(stream);
            }
        }
    } inflate_end{&stream, entry.method == 8};

    std::vector<unsigned char> in(1 << 16);
    std::vector<unsigned char> buffer(1 << 16);
    uint64_t remaining = entry.compressed_size;
    uint64_t produced = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    bool written = true;
    bool stream_end = entry.method == 0;
    auto emit = [&](const unsigned char* data, size_t size) {
        crc = crc32(crc, data, static_cast<uInt>(size));
        produced += size;
        written = written && write_all(out.get(), reinterpret_cast<const char*>(data), size);
    };
    while (remaining > 0 && !(entry.method == 8 && stream_end)) {
        size_t chunk = remaining < in.size() ? static_cast<size_t>(remaining) : in.size();
        if (!zip->read_at(offset, in.data(), chunk)) {
            *error = "entry data cut short";
            return false;
        }
        offset += chunk;
        remaining -= chunk;
        if (entry.method == 0) {
            emit(in.data(), chunk);
            continue;
        }
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(chunk);
        do {
            stream.next_out = buffer.data();
            stream.avail_out = static_cast<uInt>(buffer.size());
            int status = inflate(&stream, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
                *error = "corrupt deflate data";
                return false;
            }
            emit(buffer.data(), buffer.size() - stream.avail_out);
            stream_end = status == Z_STREAM_END;
        } while (stream.avail_out == 0 && !stream_end);
    }
    if (!stream_end) {
        *error = "deflate data ends early";
        return false;
    }
    if (!written) {
        *error = "cannot write the target, error " + std::to_string(GetLastError());
        return false;
    }
    if (produced != entry.size || crc != entry.crc) {
        *error = "size or CRC-32 does not match";
        return false;
    }
    return true;
}

// Creates an entry's directory, or its parent and then the file. Each failing statement writes its
// error; stopping at the first is the caller's choice, as it is PowerShell's.
bool write_entry(ZipReader* zip, const ZipEntry& entry, const std::wstring& target,
                 bool first_error_ends) {
    bool is_directory = !entry.name.empty() && is_separator(entry.name.back());
    if (is_directory) {
        if (!create_directories(target)) {
            fail_message("New-Item: cannot create a directory for an entry");
            return false;
        }
        return true;
    }
    bool written = true;
    std::wstring parent = parent_of(target);
    if (!parent.empty() && !create_directories(parent)) {
        fail_message("New-Item: cannot create the folder of an entry");
        if (first_error_ends) {
            return false;
        }
        written = false;
    }
    std::string error;
    if (!extract_entry(zip, entry, target, &error)) {
        fail_message("Exception calling \"ExtractToFile\": " + error);
        written = false;
    }
    return written;
}

int extract(const std::wstring& zip_path, const std::wstring& folder, ExtractFailureMode mode,
            const Options& options) {
    const bool first_error_ends = mode == ExtractFailureMode::FirstErrorEnds;
    Output output(options);
    ZipReader zip;
    if (!zip.open(zip_path)) {
        fail_message("Exception calling \"OpenRead\": " + zip.error());
        if (first_error_ends) {
            return 1;
        }
        // $archive stays null: the loop walks nothing, the empty-archive line follows, and the
        // last statement, Dispose() on null, fails.
        output.progress(1, 1, true);
        fail_message("You cannot call a method on a null-valued expression.");
        return 1;
    }
    const std::vector<ZipEntry>& entries = zip.entries();
    unsigned long long total = entries.empty() ? 1 : entries.size();
    unsigned long long done = 0;
    for (const ZipEntry& entry : entries) {
        if (options.slow_ms > 0) {
            Sleep(options.slow_ms);
        }
        if (!write_entry(&zip, entry, join_path(folder, entry.name), first_error_ends) &&
            first_error_ends) {
            return 1;
        }
        // Otherwise only the failed statements ended: the count and its line follow.
        ++done;
        output.progress(done, total, done == total);
    }
    if (done == 0) {
        if (options.slow_ms > 0) {
            Sleep(options.slow_ms);
        }
        output.progress(1, 1, true);
    }
    return static_cast<int>(options.exit_code);
}

}  // namespace

// PowerShell reads the UTF-16 command line, whatever the ANSI code page; it is parsed here as
// UTF-8, the launcher's own form.
std::string utf8_command_line() {
    const wchar_t* wide = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Runs the command of either form once its paths are known; the launcher's form with a variable
// unset fails as PowerShell's would on a null path, inside its try.
int run_extraction(const ExtractPaths& paths, ExtractFailureMode mode) {
    std::wstring zip_path;
    std::wstring destination;
    if (!path_of(paths.zip, &zip_path) || !path_of(paths.destination, &destination)) {
        fail_message(
            "Exception calling \"OpenRead\": Value cannot be null "
            "(VELDA_EXTRACT_ZIP or VELDA_EXTRACT_DEST is unset or empty)");
        return 1;
    }
    return extract(zip_path, destination, mode, read_options());
}

int main() {
    const std::string utf8 = utf8_command_line();
    const char* command_line = utf8.c_str();
    log_run(utf8);
    for (ExtractFailureMode mode :
         {ExtractFailureMode::FirstErrorEnds, ExtractFailureMode::LastStatementDecides}) {
        ExtractPaths paths;
        Parsed parsed = parse_command(command_line, mode, &paths);
        if (parsed == Parsed::CarriesPath) {
            // Paths come through the environment only: one in the script text could end its
            // string at a quote character and run the rest of its name.
            fail_message(std::string("refusing a script that carries a path instead of reading "
                                     "$env:VELDA_EXTRACT_ZIP and $env:VELDA_EXTRACT_DEST: ") +
                         command_line);
            return 2;
        }
        if (parsed == Parsed::Extraction) {
            return run_extraction(paths, mode);
        }
    }
    fail_message(std::string("refusing a command that is not the extraction command: ") +
                 command_line);
    return 2;
}
