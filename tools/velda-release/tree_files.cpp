#include "tree_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "common/stdio_file.h"

namespace velda {

namespace fs = std::filesystem;

bool scan_tree(const fs::path& root, std::vector<TreeEntry>* entries, std::string* error) {
    entries->clear();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = root.string() + " is not a folder";
        return false;
    }
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::string relative = entry.path().lexically_relative(root).generic_string();
        fs::file_status status = entry.symlink_status(ec);
        if (ec) {
            break;
        }
        if (fs::is_symlink(status)) {
            *error = relative + " is a symbolic link; a product folder holds plain files only";
            return false;
        }
        if (fs::is_directory(status)) {
            entries->push_back({relative, true});
        } else if (fs::is_regular_file(status)) {
            entries->push_back({relative, false});
        } else {
            *error = relative + " is neither a file nor a folder";
            return false;
        }
    }
    if (ec) {
        *error = "cannot list " + root.string() + ": " + ec.message();
        return false;
    }
    std::sort(entries->begin(), entries->end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return true;
}

fs::path tree_path(const fs::path& root, const std::string& relative) {
    return root / fs::path(relative).make_preferred();
}

bool read_file_bytes(const fs::path& path, std::string* bytes) {
    UniqueStdioFile file = open_file(path.c_str(), "rb");
    if (!file) {
        return false;
    }
    bytes->clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
        bytes->append(buffer, got);
    }
    return std::ferror(file.get()) == 0;
}

bool write_file_bytes(const fs::path& path, const std::string& bytes) {
    UniqueStdioFile file = open_file(path.c_str(), "wb");
    if (!file) {
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    return file.close() && ok;
}

bool files_have_same_bytes(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) {
        return false;
    }
    UniqueStdioFile fa = open_file(a.c_str(), "rb");
    UniqueStdioFile fb = open_file(b.c_str(), "rb");
    if (!fa || !fb) {
        return false;
    }
    char ba[65536];
    char bb[65536];
    while (true) {
        size_t ga = std::fread(ba, 1, sizeof(ba), fa.get());
        size_t gb = std::fread(bb, 1, sizeof(bb), fb.get());
        if (ga != gb || !std::equal(ba, ba + ga, bb)) {
            return false;
        }
        if (ga == 0) {
            return std::ferror(fa.get()) == 0 && std::ferror(fb.get()) == 0;
        }
    }
}

bool copy_file_bytes(const fs::path& from, const fs::path& to, std::string* error) {
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    std::string bytes;
    if (!read_file_bytes(from, &bytes)) {
        *error = "cannot read " + from.string();
        return false;
    }
    if (!write_file_bytes(to, bytes)) {
        *error = "cannot write " + to.string();
        return false;
    }
    return true;
}

int64_t file_unix_time(const fs::path& path) {
    std::error_code ec;
    fs::file_time_type when = fs::last_write_time(path, ec);
    if (ec) {
        return 0;
    }
    auto system = std::chrono::file_clock::to_sys(when);
    return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
}

}  // namespace velda
