#pragma once

#include <cstddef>

#include "common/path_size.h"
#include "manifest/manifest.h"
#include "net/resume_rules.h"

namespace velda {

// Names of the install folder's files that only one installation run needs (the package, the
// changed-files list). They are noted before they are downloaded, so a run that was ended from
// outside leaves a record, and the next run removes exactly those files.
constexpr char kDownloadJournalName[] = "velda.downloads";

// Appends one name to the journal in install_folder; false when it could not be written.
[[nodiscard]] bool journal_note(const char* install_folder, const char* file_name);

// Deletes every file the journal names (plain names only, in install_folder), and the journal
// unless it marks a package installation under way. delete_file is the platform's deletion, so
// that the rule can be tested anywhere.
void journal_sweep(const char* install_folder, bool (*delete_file)(const char* path));

// Marks, before the package download, that a package installation is under way. Until it was
// validated and stamped the folder may lack any of the package's files, whatever it holds, so
// only the package can make it whole: the mark outlives every sweep and every failed run.
[[nodiscard]] bool journal_mark_package_installation(const char* install_folder);

// True while the journal in install_folder holds that mark.
[[nodiscard]] bool journal_package_installation_pending(const char* install_folder);

// After validation and the stamp: sweeps as journal_sweep does and removes the journal, mark
// and all.
void journal_finish_installation(const char* install_folder, bool (*delete_file)(const char* path));

// A package download that stopped part way: its temporary file beside file_name keeps what
// arrived, and the record what it is a part of, so that a later run can continue it.
struct JournalPartial {
    char file_name[kPathSize];
    char url[kManifestUrlSize];
    PartialDownload partial;  // the validator and the whole length; have is the file's business
};

// Appends a record of file_name's partial body from url; false when it could not be written, or
// the texts cannot be recorded as they are.
[[nodiscard]] bool journal_note_partial(const char* install_folder, const char* file_name,
                                        const char* url, const PartialDownload& partial);

// The latest partial record; false when the journal holds none.
[[nodiscard]] bool journal_last_partial(const char* install_folder, JournalPartial* record);

}  // namespace velda
