// Stand-in for Windows PowerShell in test prefixes, installed as C:\windows\system32\powershell.exe
// (with WINEDLLOVERRIDES=powershell.exe=n). It accepts exactly the extraction command, in either
// form, and does what that script does: every entry of the ZIP into the destination, one
// "PROGRESS:i:total" line after each, "PROGRESS:1:1" for an empty archive.
//
// An entry that cannot be written (a folder where the package has a file, a locked file, bad
// data): its error on standard error. The script as it stands then goes on with the next entry
// and still exits 0; the guarded form stops there with exit 1. A package it cannot open: exit 1
// in both forms, the plain one after "PROGRESS:1:1" and a failing Dispose() on null.
//
// Any other command line: message on standard error, exit 2.
//
// Environment:
//   VELDA_PS_LOG=path      append the command line, in UTF-8, as one line to this file (proof
//                          that it ran)
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

void log_command_line(const char* command_line) {
    const char* log_path = std::getenv("VELDA_PS_LOG");
    if (log_path == nullptr || log_path[0] == '\0') {
        return;
    }
    FILE* log = std::fopen(log_path, "ab");
    if (log != nullptr) {
        std::fprintf(log, "%s\n", command_line);
        std::fclose(log);
    }
}

// Reads one single-quoted text whose quotes are doubled; stops on the closing quote.
bool read_quoted(const char** cursor, std::string* out) {
    const char* p = *cursor;
    for (;;) {
        if (*p == '\0') {
            return false;
        }
        if (*p == '\'') {
            if (p[1] != '\'') {
                break;
            }
            out->push_back('\'');
            p += 2;
            continue;
        }
        out->push_back(*p++);
    }
    *cursor = p;
    return true;
}

bool starts_with(const char* text, const std::string& prefix) {
    return std::strncmp(text, prefix.c_str(), prefix.size()) == 0;
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

// Takes the two paths out of the command line for one form of the script, then rebuilds the
// command from them: only a byte-exact copy of the command of that form is accepted.
bool parse_command(const char* command_line, ExtractFailureMode mode, std::string* zip_path,
                   std::string* destination) {
    const std::string pattern = after_program_name(extract_command_template(mode));
    size_t first = pattern.find("%s");
    size_t second = pattern.find("%s", first + 2);
    if (first == std::string::npos || second == std::string::npos) {
        return false;
    }
    const char* arguments = after_program_name(command_line);
    const char* cursor = arguments;
    if (!starts_with(cursor, pattern.substr(0, first))) {
        return false;
    }
    cursor += first;
    if (!read_quoted(&cursor, zip_path)) {
        return false;
    }
    std::string between = pattern.substr(first + 2, second - first - 2);
    if (!starts_with(cursor, between)) {
        return false;
    }
    cursor += between.size();
    if (!read_quoted(&cursor, destination)) {
        return false;
    }
    char rebuilt[kExtractCommandSize];
    if (!format_extract_command(zip_path->c_str(), destination->c_str(), rebuilt, sizeof(rebuilt),
                                mode)) {
        return false;
    }
    return std::strcmp(after_program_name(rebuilt), arguments) == 0;
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

int extract(const std::string& zip_path, const std::string& destination, ExtractFailureMode mode,
            const Options& options) {
    const bool first_error_ends = mode == ExtractFailureMode::FirstErrorEnds;
    Output output(options);
    ZipReader zip;
    if (!zip.open(to_wide(zip_path, CP_UTF8))) {
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
    const std::wstring folder = to_wide(destination, CP_UTF8);
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

int main() {
    const std::string utf8 = utf8_command_line();
    const char* command_line = utf8.c_str();
    log_command_line(command_line);
    for (ExtractFailureMode mode :
         {ExtractFailureMode::FirstErrorEnds, ExtractFailureMode::LastStatementDecides}) {
        std::string zip_path;
        std::string destination;
        if (parse_command(command_line, mode, &zip_path, &destination)) {
            return extract(zip_path, destination, mode, read_options());
        }
    }
    fail_message(std::string("refusing a command that is not the extraction command: ") +
                 command_line);
    return 2;
}
