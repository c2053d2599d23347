#include "install/staged_commit.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <unordered_set>

#include "common/busy_file.h"
#include "common/fs.h"
#include "common/install_paths.h"
#include "common/stdio_file.h"
#include "common/text.h"
#include "common/win_handle.h"

namespace velda {

namespace {

// The longest record: every entry at its longest path.
constexpr size_t kRecordMaxBytes = 256 + kCommitMaxEntries * (kPathSize + 16);

struct CommitFolders {
    char install[kPathSize];
    char staging[kPathSize];
    char fresh[kPathSize];   // staging\new
    char backup[kPathSize];  // staging\old
    char record[kPathSize];
    char record_temporary[kPathSize];
    char retired[kPathSize];  // the staging folder of a finished commit, removed later
};

bool commit_folders(const char* install_folder, CommitFolders* out) {
    copy_bounded(out->install, kPathSize, install_folder);
    return std::strlen(install_folder) + 1 < kPathSize &&
           staging_folder_of(install_folder, out->staging) &&
           join_path(out->staging, "new", out->fresh) &&
           join_path(out->staging, "old", out->backup) &&
           join_path(install_folder, kCommitRecordName, out->record) &&
           join_path(install_folder, kCommitRecordTemporaryName, out->record_temporary) &&
           retired_staging_folder_of(install_folder, out->retired);
}

struct ItemPaths {
    char staged[kPathSize];
    char installed[kPathSize];
    char backup[kPathSize];
};

bool item_paths(const CommitFolders& folders, const std::string& relative, ItemPaths* out) {
    return join_path(folders.fresh, relative.c_str(), out->staged) &&
           join_path(folders.install, relative.c_str(), out->installed) &&
           join_path(folders.backup, relative.c_str(), out->backup);
}

// Folders known to exist, so that a commit of many files in few folders asks for each once.
using FolderSet = std::unordered_set<std::string>;

// Every folder of path below root, from the outside in; made records what is known to exist.
bool ensure_parents(const char* root, const char* path, FolderSet* made = nullptr) {
    char prefix[kPathSize] = {};
    copy_bounded(prefix, kPathSize, path);
    char* last = std::strrchr(prefix, '\\');
    size_t root_length = std::strlen(root);
    if (last == nullptr || static_cast<size_t>(last - prefix) <= root_length) {
        return true;
    }
    *last = '\0';
    if (made != nullptr && made->count(prefix) != 0) {
        return true;
    }
    for (size_t at = root_length + 1; prefix[at] != '\0'; ++at) {
        if (prefix[at] == '\\') {
            prefix[at] = '\0';
            bool exists = ensure_directory(prefix);
            prefix[at] = '\\';
            if (!exists) {
                return false;
            }
        }
    }
    if (!ensure_directory(prefix)) {
        return false;
    }
    if (made != nullptr) {
        made->insert(prefix);
    }
    return true;
}

// Every folder under from made under to as well: a package's empty folders belong to its release.
// A link is not followed; a folder that cannot be made is left out, as no file needs it.
void mirror_folders(const char* from, const char* to) {
    char pattern[kPathSize] = {};
    if (!join_path(from, "*", pattern)) {
        return;
    }
    WIN32_FIND_DATAA entry = {};
    UniqueFindHandle search(FindFirstFileA(pattern, &entry));
    if (!search) {
        return;
    }
    do {
        char source[kPathSize] = {};
        char target[kPathSize] = {};
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
            std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0 ||
            !join_path(from, entry.cFileName, source) || !join_path(to, entry.cFileName, target)) {
            continue;
        }
        if (ensure_directory(target)) {
            mirror_folders(source, target);
        }
    } while (FindNextFileA(search.get(), &entry));
}

// Files first, then the folders; a link is removed, never followed.
void remove_tree(const char* folder) {
    char pattern[kPathSize] = {};
    if (!join_path(folder, "*", pattern)) {
        return;
    }
    WIN32_FIND_DATAA entry = {};
    UniqueFindHandle search(FindFirstFileA(pattern, &entry));
    if (search) {
        do {
            char path[kPathSize] = {};
            if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0 ||
                !join_path(folder, entry.cFileName, path)) {
                continue;
            }
            DWORD attributes = entry.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(path);
            } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                RemoveDirectoryA(path);
            } else {
                remove_tree(path);
            }
        } while (FindNextFileA(search.get(), &entry));
    }
    search.reset();
    RemoveDirectoryA(folder);
}

// Temporary file, flushed, then moved over the record: a cut leaves the old record or the new.
bool write_record(const CommitFolders& folders, const CommitRecord& record) {
    std::string text = commit_record_text(record);
    if (text.empty()) {
        return false;
    }
    return write_flushed_file(folders.record_temporary, text) &&
           replace_file_when_free(folders.record_temporary, folders.record);
}

enum class RecordRead { Absent, Read, Unreadable };

RecordRead read_record(const CommitFolders& folders, CommitRecord* record) {
    if (GetFileAttributesA(folders.record) == INVALID_FILE_ATTRIBUTES) {
        return RecordRead::Absent;
    }
    UniqueStdioFile file = open_file(folders.record, "rb");
    if (!file) {
        return RecordRead::Unreadable;
    }
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
        if (text.size() > kRecordMaxBytes) {
            return RecordRead::Unreadable;
        }
    }
    return read_commit_record(text, record) ? RecordRead::Read : RecordRead::Unreadable;
}

struct Commit {
    CommitFolders folders;
    CommitRecord record;
    std::vector<CommitEntry> items;
    std::vector<ItemPaths> paths;
    mutable FolderSet folders_made;  // a folder moved away by an undo is never one of these
};

bool move_file(const Commit& commit, const char* root_of_target, const char* source,
               const char* target) {
    return ensure_parents(root_of_target, target, &commit.folders_made) &&
           replace_file_when_free(source, target);
}

// The staging folder of a finished commit goes out of the way in one rename; its files are
// deleted once the product has started (remove_retired_staging), or by the next run.
void retire_staging(const CommitFolders& folders) {
    remove_tree(folders.retired);
    if (!MoveFileExA(folders.staging, folders.retired, 0)) {
        remove_tree(folders.staging);
    }
}

bool load_items(Commit* commit) {
    commit->items = commit_items(commit->record);
    commit->paths.resize(commit->items.size());
    for (size_t i = 0; i < commit->items.size(); ++i) {
        if (!item_paths(commit->folders, commit->items[i].path, &commit->paths[i])) {
            return false;
        }
    }
    return true;
}

std::vector<CommitPresence> observe(const Commit& commit) {
    std::vector<CommitPresence> presence;
    for (const ItemPaths& paths : commit.paths) {
        presence.push_back({file_exists_not_directory(paths.staged),
                            file_exists_not_directory(paths.installed),
                            file_exists_not_directory(paths.backup)});
    }
    return presence;
}

bool carry_out_step(const Commit& commit, const CommitStep& step) {
    const CommitFolders& folders = commit.folders;
    const ItemPaths& paths = commit.paths[step.item];
    CommitRecord marked = commit.record;
    switch (step.kind) {
        case CommitStepKind::InstalledToBackup:
            return move_file(commit, folders.backup, paths.installed, paths.backup);
        case CommitStepKind::StagedToInstalled:
            return move_file(commit, folders.install, paths.staged, paths.installed);
        case CommitStepKind::InstalledToStaged:
            return move_file(commit, folders.fresh, paths.installed, paths.staged);
        case CommitStepKind::BackupToInstalled:
            return move_file(commit, folders.install, paths.backup, paths.installed);
        case CommitStepKind::MarkDone:
            mirror_folders(folders.fresh, folders.install);
            [[fallthrough]];
        case CommitStepKind::MarkUndone:
            marked.state =
                step.kind == CommitStepKind::MarkDone ? CommitState::Done : CommitState::Undone;
            return write_record(folders, marked);
        case CommitStepKind::RemoveStaging:
            retire_staging(folders);  // what is left is removed by the next run
            return true;
        case CommitStepKind::RemoveRecord:
            DeleteFileA(folders.record_temporary);
            return delete_file_when_free(folders.record) || GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    return false;
}

// Steps in order until one fails or *budget is used up; false on either.
bool carry_out(const Commit& commit, const std::vector<CommitStep>& steps, size_t* budget,
               uint32_t* error) {
    for (const CommitStep& step : steps) {
        if (*budget == 0) {
            return false;
        }
        --*budget;
        if (!carry_out_step(commit, step)) {
            *error = GetLastError();
            return false;
        }
    }
    return true;
}

// After a failed forward step: back to the old release, from what exists now.
bool undo(const Commit& commit, size_t* budget, uint32_t* ignored_error) {
    return carry_out(commit, commit_undo_steps(commit.items, observe(commit)), budget,
                     ignored_error);
}

// Put entries become Add or Replace from what is installed; deletions of nothing are dropped.
bool resolve_plan(Commit* commit, const CommitRecord& plan) {
    commit->record = {CommitState::Committing, plan.version, {}, false};
    char stamp[kPathSize] = {};
    if (!join_path(commit->folders.install, kStampFileName, stamp)) {
        return false;
    }
    commit->record.stamp_replaces = file_exists_not_directory(stamp);
    for (const CommitEntry& entry : plan.entries) {
        std::string path;
        ItemPaths paths;
        if (!canonical_commit_path(entry.path, &path) ||
            !item_paths(commit->folders, path, &paths) || directory_exists(paths.installed)) {
            return false;
        }
        bool installed = file_exists_not_directory(paths.installed);
        if (entry.change == CommitChange::Delete) {
            if (installed) {
                commit->record.entries.push_back({path, CommitChange::Delete});
            }
        } else if (entry.change == CommitChange::Put && file_exists_not_directory(paths.staged)) {
            commit->record.entries.push_back(
                {path, installed ? CommitChange::Replace : CommitChange::Add});
        } else {
            return false;
        }
    }
    return commit_record_valid(commit->record) && load_items(commit);
}

bool stage_stamp(const Commit& commit) {
    UniqueStdioFile stamp = open_file(commit.paths.back().staged, "wb");
    const std::string& version = commit.record.version;
    return stamp && std::fwrite(version.data(), 1, version.size(), stamp.get()) == version.size() &&
           stamp.close();
}

}  // namespace

bool staging_folder_of(const char* install_folder, char out[kPathSize]) {
    out[0] = '\0';
    if (std::strlen(install_folder) + sizeof kStagingSuffix > kPathSize) {
        return false;
    }
    format_bounded(out, kPathSize, "%s%s", install_folder, kStagingSuffix);
    return true;
}

bool retired_staging_folder_of(const char* install_folder, char out[kPathSize]) {
    out[0] = '\0';
    if (std::strlen(install_folder) + sizeof kStagingSuffix + sizeof kRetiredSuffix - 1 >
        kPathSize) {
        return false;
    }
    format_bounded(out, kPathSize, "%s%s%s", install_folder, kStagingSuffix, kRetiredSuffix);
    return true;
}

void remove_retired_staging(const char* install_folder) {
    char retired[kPathSize] = {};
    if (retired_staging_folder_of(install_folder, retired) && directory_exists(retired)) {
        remove_tree(retired);
    }
}

void discard_staging(const char* install_folder) {
    CommitFolders folders;
    if (commit_folders(install_folder, &folders) && !file_exists_not_directory(folders.record)) {
        remove_tree(folders.staging);
    }
}

bool begin_staging(const char* install_folder) {
    CommitFolders folders;
    if (!commit_folders(install_folder, &folders)) {
        return false;
    }
    remove_tree(folders.retired);
    remove_tree(folders.staging);
    return ensure_directory(folders.staging) && ensure_directory(folders.fresh) &&
           ensure_directory(folders.backup);
}

bool prepare_staged_path(const char* install_folder, std::string_view relative,
                         char out[kPathSize]) {
    out[0] = '\0';
    CommitFolders folders;
    std::string path;
    return commit_folders(install_folder, &folders) && canonical_commit_path(relative, &path) &&
           join_path(folders.fresh, path.c_str(), out) && ensure_parents(folders.fresh, out);
}

namespace {

bool collect_files(const char* root, const std::string& relative, std::vector<std::string>* out) {
    char folder[kPathSize] = {};
    char pattern[kPathSize] = {};
    if (relative.empty()) {
        copy_bounded(folder, kPathSize, root);
    } else if (!join_path(root, relative.c_str(), folder)) {
        return false;
    }
    if (!join_path(folder, "*", pattern)) {
        return false;
    }
    WIN32_FIND_DATAA entry = {};
    UniqueFindHandle search(FindFirstFileA(pattern, &entry));
    if (!search) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        std::string path = relative.empty() ? entry.cFileName : relative + "\\" + entry.cFileName;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                !collect_files(root, path, out)) {
                return false;
            }
            continue;
        }
        if (relative.empty() && equals_ignoring_ascii_case(entry.cFileName, kStampFileName)) {
            continue;
        }
        std::string canonical;
        if (!canonical_commit_path(path, &canonical)) {
            return false;
        }
        out->push_back(canonical);
    } while (FindNextFileA(search.get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

}  // namespace

bool list_staged_files(const char* install_folder, std::vector<std::string>* out) {
    out->clear();
    CommitFolders folders;
    if (!commit_folders(install_folder, &folders) || !collect_files(folders.fresh, "", out)) {
        out->clear();
        return false;
    }
    return true;
}

bool commit_record_present(const char* install_folder) {
    CommitFolders folders;
    return !commit_folders(install_folder, &folders) || file_exists_not_directory(folders.record);
}

CommitOutcome commit_staged(const char* install_folder, const CommitRecord& plan,
                            size_t step_limit) {
    Commit commit;
    if (!commit_folders(install_folder, &commit.folders) || !resolve_plan(&commit, plan) ||
        !ensure_parents(commit.folders.fresh, commit.paths.back().staged) || !stage_stamp(commit) ||
        !write_record(commit.folders, commit.record)) {
        uint32_t error = GetLastError();
        DeleteFileA(commit.folders.record_temporary);
        return {CommitResult::Refused, error};
    }
    // What exists is known from the plan just resolved: every item staged, no backup yet.
    std::vector<CommitPresence> presence;
    for (const CommitEntry& item : commit.items) {
        presence.push_back(
            {item.change != CommitChange::Delete, item.change != CommitChange::Add, false});
    }
    RecoveryPlan steps = plan_commit_recovery(&commit.record, true, true, presence);
    size_t budget = step_limit;
    uint32_t error = 0;
    if (carry_out(commit, steps.steps, &budget, &error)) {
        return {CommitResult::Committed, 0};
    }
    if (error == 0) {
        return {CommitResult::Cut, 0};
    }
    uint32_t undo_error = 0;
    if (undo(commit, &budget, &undo_error)) {
        return {CommitResult::Undone, error};
    }
    return {CommitResult::Stuck, error};
}

RecoveryOutcome recover_commit(const char* install_folder, size_t step_limit) {
    Commit commit;
    if (!commit_folders(install_folder, &commit.folders)) {
        return {RecoveryAction::Unreadable, false, 0};
    }
    RecordRead read = read_record(commit.folders, &commit.record);
    if (read == RecordRead::Read && !load_items(&commit)) {
        read = RecordRead::Unreadable;
    }
    RecoveryPlan plan = plan_commit_recovery(
        read == RecordRead::Read ? &commit.record : nullptr, read != RecordRead::Unreadable,
        directory_exists(commit.folders.staging),
        read == RecordRead::Read ? observe(commit) : std::vector<CommitPresence>{});
    size_t budget = step_limit;
    uint32_t error = 0;
    if (carry_out(commit, plan.steps, &budget, &error)) {
        return {plan.action, plan.action != RecoveryAction::Unreadable, 0};
    }
    if (error != 0 && plan.action == RecoveryAction::Finish &&
        commit.record.state == CommitState::Committing) {
        uint32_t undo_error = 0;
        if (undo(commit, &budget, &undo_error)) {
            return {RecoveryAction::Undo, true, 0};
        }
    }
    return {plan.action, false, error};
}

}  // namespace velda
