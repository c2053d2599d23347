#pragma once

#include <cstddef>

// Names of the install folder's files that only one installation run needs (the package, the
// changed-files list). They are noted before they are downloaded, so a run that was ended from
// outside leaves a record, and the next run removes exactly those files.
constexpr char kDownloadJournalName[] = "velda.downloads";

// Appends one name to the journal in install_folder; false when it could not be written.
bool journal_note(const char* install_folder, const char* file_name);

// Deletes every file the journal names (plain names only, in install_folder) and the journal.
// delete_file is the platform's deletion, so that the rule can be tested anywhere.
void journal_sweep(const char* install_folder, bool (*delete_file)(const char* path));
