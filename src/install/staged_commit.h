#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/path_size.h"

namespace velda {

// An update changes the installation in one commit. Everything it needs is first staged beside
// the install folder, on the same volume, so that every change is a rename:
//   <install folder>.staging\new\<path>   the files to move in
//   <install folder>.staging\old\<path>   what they replace or what is deleted, kept until done
// A record in the install folder (velda.commit) describes the commit before the first file of
// the installation changes; the stamp is moved in last, as part of the commit, so it always names
// the release whose files are in place.

inline constexpr char kCommitRecordName[] = "velda.commit";
inline constexpr char kCommitRecordTemporaryName[] = "velda.commit.tmp";
inline constexpr char kStagingSuffix[] = ".staging";
inline constexpr char kRetiredSuffix[] = ".done";  // after kStagingSuffix
inline constexpr size_t kCommitMaxEntries = 65536;
inline constexpr size_t kCommitVersionMax = 63;  // bytes, as the stamp's version text

// Put: from staging (resolved to Add or Replace when the record is made); Delete: moved to old.
enum class CommitChange { Put, Add, Replace, Delete };

struct CommitEntry {
    std::string path;  // relative to the install folder, backslashes, canonical
    CommitChange change;
};

enum class CommitState { Committing, Done, Undone };

// The stamp is not among the entries: it is always the last put, made from version; it replaces
// an installed stamp or is added where there was none.
struct CommitRecord {
    CommitState state = CommitState::Committing;
    std::string version;
    std::vector<CommitEntry> entries;
    bool stamp_replaces = true;
};

// Relative paths a commit may name: no colon, "/" turned into a backslash, no empty segment and
// none that is or ends in "." or ".." (two dots inside a name, as a package may hold, are
// fine; the changed-files rules refuse those earlier), no trailing separator, no control
// character, and not the record, its temporary file or the stamp. False, out empty, otherwise.
[[nodiscard]] bool canonical_commit_path(std::string_view text, std::string* out);

// True when the record can be written and read back: a printable version without blanks, at
// most kCommitMaxEntries canonical paths that differ ignoring ASCII case, no Put left.
[[nodiscard]] bool commit_record_valid(const CommitRecord& record);

// The record's text; empty when commit_record_valid is false.
//   velda-commit 1
//   version <version>
//   state commit|done|undone
//   stamp add|replace
//   add|replace|delete <path>      one line per entry, in order
//   end <number of entries>
[[nodiscard]] std::string commit_record_text(const CommitRecord& record);

// Reads a record's text whole; false for anything that commit_record_text would not write.
[[nodiscard]] bool read_commit_record(std::string_view text, CommitRecord* out);

// What exists of one item of the commit: its staged file, its installed file, its backup.
struct CommitPresence {
    bool staged;
    bool installed;
    bool backup;
};

enum class CommitStepKind {
    InstalledToBackup,
    StagedToInstalled,
    InstalledToStaged,  // undoing a put: the new file goes back where it came from
    BackupToInstalled,
    MarkDone,
    MarkUndone,
    RemoveStaging,
    RemoveRecord,
};

struct CommitStep {
    CommitStepKind kind;
    size_t item;  // index into commit_items(); 0 for the steps of the whole commit
    bool operator==(const CommitStep&) const = default;
};

// The entries and, last, the stamp (kStampFileName) as an Add or a Replace.
[[nodiscard]] std::vector<CommitEntry> commit_items(const CommitRecord& record);

enum class RecoveryAction {
    Nothing,        // no record, no staging
    RemoveStaging,  // staging without a record: an update that never began its commit
    Finish,         // roll forward (also: only the cleanup of a finished commit is left)
    Undo,           // a staged file that was not moved in is gone: roll back to the old release
    Unreadable,     // a record that cannot be read: nothing is touched
};

struct RecoveryPlan {
    RecoveryAction action;
    std::vector<CommitStep> steps;
};

// The decision from what exists. record is null when there is none; record_readable false when
// one exists that read_commit_record refused. presence has one element per commit_items() item.
[[nodiscard]] RecoveryPlan plan_commit_recovery(const CommitRecord* record, bool record_readable,
                                                bool staging_present,
                                                const std::vector<CommitPresence>& presence);

// The steps that undo a cut-off or failed commit, whatever could still be finished.
[[nodiscard]] std::vector<CommitStep> commit_undo_steps(
    const std::vector<CommitEntry>& items, const std::vector<CommitPresence>& presence);

// Windows: carrying the commit out. Every move is MoveFileExA replacing and writing through,
// tried again while another program holds the file (common/busy_file.h).

// "<install folder>.staging"; false when it does not fit.
[[nodiscard]] bool staging_folder_of(const char* install_folder, char out[kPathSize]);

// "<install folder>.staging.done": where a finished commit's staging folder goes, in one rename,
// until its files are deleted; false when it does not fit.
[[nodiscard]] bool retired_staging_folder_of(const char* install_folder, char out[kPathSize]);

// Deletes what finished commits left in the retired staging folder: called once the product has
// started, so that an update's cleanup never holds it back.
void remove_retired_staging(const char* install_folder);

// A fresh staging folder: any earlier one (and a retired one) removed, "new" and "old" created.
// False when it could not be made.
[[nodiscard]] bool begin_staging(const char* install_folder);

// The staging folder of means that did not commit, removed; kept while a record waits for
// recovery, which needs it.
void discard_staging(const char* install_folder);

// Where a means writes the file it stages for relative (canonical): "<staging>\new\<path>",
// its folders created. False when the path is refused, does not fit, or a folder fails.
[[nodiscard]] bool prepare_staged_path(const char* install_folder, std::string_view relative,
                                       char out[kPathSize]);

// The staged files' paths relative to "<staging>\new" (canonical, backslashes), in the order
// found; a staged stamp is left out, since the commit writes its own. False when a folder could
// not be read or a name is one a commit refuses (out then names nothing).
[[nodiscard]] bool list_staged_files(const char* install_folder, std::vector<std::string>* out);

// A record of a commit is in the install folder: nothing may be staged until it is recovered.
[[nodiscard]] bool commit_record_present(const char* install_folder);

enum class CommitResult {
    Committed,  // every file in place, stamp written, staging and record gone
    Refused,    // nothing changed: a staged file is missing, a path is refused, no record
    Undone,     // a move failed; the old release was put back whole
    Stuck,      // a move failed and so did the undo; the record stays for the next run
    Cut,        // only for tests: stopped after step_limit steps
};

struct CommitOutcome {
    CommitResult result;
    uint32_t win32_error;  // of the failed step, 0 otherwise
};

// Commits plan (Put and Delete entries) from the staging folder: the record first, then each
// entry, the stamp (plan.version) last, then the cleanup. step_limit cuts it short for tests.
[[nodiscard]] CommitOutcome commit_staged(const char* install_folder, const CommitRecord& plan,
                                          size_t step_limit = SIZE_MAX);

struct RecoveryOutcome {
    RecoveryAction action;
    bool complete;  // false: a step failed (or the limit cut it); the record stays
    uint32_t win32_error;
};

// The first thing of every run, also offline: finishes or undoes a commit that was cut off, and
// removes a staging folder that no record names.
[[nodiscard]] RecoveryOutcome recover_commit(const char* install_folder,
                                             size_t step_limit = SIZE_MAX);

}  // namespace velda
