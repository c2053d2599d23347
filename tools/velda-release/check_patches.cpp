#include "check_patches.h"

#include <cstdio>
#include <filesystem>
#include <span>

#include "common/hex.h"
#include "install/changed_files_rules.h"
#include "install/file_digests.h"
#include "install/patch_index.h"
#include "net/body_bound.h"
#include "release_crypto.h"
#include "release_patches.h"
#include "release_text.h"
#include "tree_files.h"

namespace velda {

namespace {

std::string hex_of(const uint8_t digest[kSha256Size]) {
    char text[kSha256HexSize];
    bytes_to_hex(digest, kSha256Size, text);
    return text;
}

std::span<const uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

const PatchBase* base_for(const CheckOptions& options, const std::string& version) {
    for (const PatchBase& base : options.bases) {
        if (base.version == version) {
            return &base;
        }
    }
    return nullptr;
}

// What the checks of one set's patches share.
struct PatchContext {
    const Origin& origin;
    const ChangeSet& set;
    const FileDigestList* digests;  // the set's hash file, or null when it could not be read
    const PatchBase* base;          // null: the base files were not given
    std::string where;
    std::vector<std::string>* traps;
};

// The patch applied to its base file and the result compared; false after a trap.
bool rebuild_from_base(const PatchContext& context, const PatchEntry& entry,
                       const std::string& patch) {
    std::string path(entry.path);
    std::string base;
    if (!read_file_bytes(tree_path(context.base->folder, path), &base)) {
        context.traps->push_back(context.where + "the base of " + path + " is not in " +
                                 context.base->folder);
        return false;
    }
    if (release_sha256_hex(base) != hex_of(entry.base_sha256)) {
        context.traps->push_back(context.where + "the patch of " + path +
                                 " names another base than the file in " + context.base->folder +
                                 ": launchers at that version always download it whole");
        return false;
    }
    std::string result;
    std::string why;
    if (!apply_patch_in_memory(bytes_of(patch), bytes_of(base), entry.result_size, &result, &why)) {
        context.traps->push_back(context.where + "the patch of " + path +
                                 " does not apply to its base: " + why);
        return false;
    }
    if (release_sha256_hex(result) != hex_of(entry.result_sha256)) {
        context.traps->push_back(context.where + "the patch of " + path +
                                 " makes a file other than the new one");
        return false;
    }
    return true;
}

// One entry's patch: against the hash file, its size and SHA-256, then its base when given.
bool check_entry(const PatchContext& context, const PatchEntry& entry) {
    std::string path(entry.path);
    const uint8_t* listed = context.digests != nullptr ? context.digests->find(path) : nullptr;
    if (context.digests != nullptr &&
        (listed == nullptr || hex_of(listed) != hex_of(entry.result_sha256))) {
        context.traps->push_back(context.where + "the patch index gives " + path +
                                 " a new file the hash file does not: launchers download it "
                                 "whole");
        return false;
    }
    char url[kChangedFilesUrlSize];
    join_changed_file_url(context.set.patch_base_url.c_str(), (path + kPatchFileSuffix).c_str(),
                          url);
    std::string patch;
    std::string at;
    std::string error;
    if (!context.origin.get(url, &patch, &at, &error)) {
        context.traps->push_back(context.where + "the patch " + at + " cannot be fetched (" +
                                 error + ")");
        return false;
    }
    if (patch.size() != entry.patch_size ||
        release_sha256_hex(patch) != hex_of(entry.patch_sha256)) {
        context.traps->push_back(context.where + "the patch " + at +
                                 " is not the size and SHA-256 its index gives: launchers refuse "
                                 "it");
        return false;
    }
    return context.base == nullptr || rebuild_from_base(context, entry, patch);
}

// The index fetched, within its bound and size, vouched for and read; false after a trap.
bool read_patch_index(const Origin& origin, const ChangeSet& set, HashRule rule,
                      const std::string& where, std::string* text, PatchIndex* index,
                      std::vector<std::string>* traps) {
    std::string at;
    std::string error;
    if (set.patch_base_url.empty()) {
        traps->push_back(where + "\"patches_url\" without \"patch_base_url\"");
        return false;
    }
    if (!origin.get(set.patches_url, text, &at, &error)) {
        traps->push_back(where + "the patch index " + at + " cannot be fetched (" + error + ")");
        return false;
    }
    std::string what = where + "the patch index " + at;
    check_within_bound(what, text->size(), kChangedFilesTextBound,
                       "launchers download every file whole", traps);
    if (set.patches_size && *set.patches_size != text->size()) {
        traps->push_back(what + " is " + std::to_string(text->size()) +
                         " bytes, not the \"patches_size\" " + std::to_string(*set.patches_size));
        return false;
    }
    if (!check_hash("patches_sha256", set.patches_sha256.c_str(), *text, what, rule, traps)) {
        return false;
    }
    if (!index->parse(text->data(), text->size())) {
        traps->push_back(what + " line " + std::to_string(index->error_line()) + ": " +
                         index->error());
        return false;
    }
    return true;
}

}  // namespace

void check_change_set_patches(const Origin& origin, const CheckOptions& options,
                              const ChangeSet& set, HashRule rule, std::vector<std::string>* traps,
                              std::vector<std::string>* notes) {
    if (set.patches_url.empty()) {
        return;
    }
    const std::string where = "change set from " + printable(set.from_version) + ": ";
    std::string text;
    PatchIndex index;
    if (!read_patch_index(origin, set, rule, where, &text, &index, traps)) {
        return;
    }
    std::string hashes_text;
    std::string at;
    std::string error;
    FileDigestList digests;
    bool have_digests = !set.hashes_url.empty() &&
                        origin.get(set.hashes_url, &hashes_text, &at, &error) &&
                        digests.parse(hashes_text.data(), hashes_text.size());
    PatchContext context{
        origin, set,  have_digests ? &digests : nullptr, base_for(options, set.from_version),
        where,  traps};
    size_t sound = 0;
    uint64_t patch_bytes = 0;
    uint64_t file_bytes = 0;
    for (const PatchEntry& entry : index.entries()) {
        sound += check_entry(context, entry) ? 1 : 0;
        patch_bytes += entry.patch_size;
        file_bytes += entry.result_size;
    }
    std::printf("  from %s: %zu patches of %zu sound, %llu bytes for files of %llu bytes%s\n",
                printable(set.from_version).c_str(), sound, index.size(),
                static_cast<unsigned long long>(patch_bytes),
                static_cast<unsigned long long>(file_bytes),
                context.base != nullptr ? ", each applied to its base" : "");
    if (context.base == nullptr) {
        notes->push_back(where + "the base files were not given (--previous DIR " +
                         "--previous-version " + printable(set.from_version) +
                         "): its patches were checked by size and SHA-256 only");
    }
}

}  // namespace velda
