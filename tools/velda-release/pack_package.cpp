#include "pack_package.h"

#include "tree_files.h"
#include "zip_file.h"

namespace velda {

namespace fs = std::filesystem;

bool write_package(const fs::path& product, const std::vector<TreeEntry>& tree,
                   const fs::path& zip_path, std::string* error) {
    ZipWriter zip;
    if (!zip.open(zip_path.string())) {
        *error = zip.error();
        return false;
    }
    for (const TreeEntry& entry : tree) {
        fs::path source = tree_path(product, entry.path);
        DosTime when = dos_time_from_unix(file_unix_time(source));
        if (entry.is_directory) {
            if (!zip.add_directory(entry.path + "/", when)) {
                break;
            }
            continue;
        }
        std::string bytes;
        if (!read_file_bytes(source, &bytes)) {
            *error = "cannot read " + source.string();
            return false;
        }
        if (!zip.add_file(entry.path, bytes, when)) {
            break;
        }
    }
    if (!zip.finish()) {
        *error = zip.error();
        return false;
    }
    return true;
}

bool verify_package(const fs::path& zip_path, const fs::path& product,
                    const std::vector<TreeEntry>& tree, std::string* error) {
    std::string archive;
    std::vector<ZipEntryInfo> entries;
    if (!read_file_bytes(zip_path, &archive) || !read_zip_directory(archive, &entries, error)) {
        *error = "the package does not read back: " + *error;
        return false;
    }
    if (entries.size() != tree.size()) {
        *error = "the package holds " + std::to_string(entries.size()) + " entries, not " +
                 std::to_string(tree.size());
        return false;
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        std::string expected = tree[i].path + (tree[i].is_directory ? "/" : "");
        if (entries[i].name != expected) {
            *error = "package entry " + std::to_string(i + 1) + " is " + entries[i].name;
            return false;
        }
        if (tree[i].is_directory) {
            continue;
        }
        std::string bytes;
        std::string original;
        if (!read_zip_entry(archive, entries[i], &bytes, error) ||
            !read_file_bytes(tree_path(product, tree[i].path), &original) || bytes != original) {
            *error = "package entry " + entries[i].name + " does not read back: " + *error;
            return false;
        }
    }
    return true;
}

}  // namespace velda
