#include "install/staged_commit.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "common/install_paths.h"
#include "common/path_size.h"
#include "common/text.h"

namespace velda {

namespace {

constexpr char kHeaderLine[] = "velda-commit 1";

std::string folded(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool reserved_name(std::string_view path) {
    return equals_ignoring_ascii_case(path, kCommitRecordName) ||
           equals_ignoring_ascii_case(path, kCommitRecordTemporaryName) ||
           equals_ignoring_ascii_case(path, kStampFileName);
}

// No empty segment, none that begins with a blank or ends with a blank or a dot.
bool segments_sound(const std::string& path) {
    size_t start = 0;
    for (;;) {
        size_t end = path.find('\\', start);
        std::string_view segment(path.data() + start,
                                 (end == std::string::npos ? path.size() : end) - start);
        // Windows drops a name's trailing blanks and dots, so "a." would be "a" again.
        if (segment.empty() || segment.front() == ' ' || segment.back() == ' ' ||
            segment.back() == '.') {
            return false;
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool version_sound(const std::string& version) {
    if (version.empty() || version.size() > kCommitVersionMax) {
        return false;
    }
    for (unsigned char c : version) {
        if (c <= 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

const char* change_word(CommitChange change) {
    switch (change) {
        case CommitChange::Add:
            return "add";
        case CommitChange::Replace:
            return "replace";
        case CommitChange::Delete:
            return "delete";
        case CommitChange::Put:
            break;
    }
    return nullptr;
}

const char* state_word(CommitState state) {
    switch (state) {
        case CommitState::Committing:
            return "commit";
        case CommitState::Done:
            return "done";
        case CommitState::Undone:
            return "undone";
    }
    return "";
}

// The next line of text at *cursor without its line feed; false at the end or for a last line
// without one.
bool next_line(std::string_view text, size_t* cursor, std::string_view* line) {
    size_t end = text.find('\n', *cursor);
    if (end == std::string_view::npos) {
        return false;
    }
    *line = text.substr(*cursor, end - *cursor);
    *cursor = end + 1;
    return true;
}

bool take_word(std::string_view line, std::string_view word, std::string_view* rest) {
    if (line.size() <= word.size() || line.substr(0, word.size()) != word ||
        line[word.size()] != ' ') {
        return false;
    }
    *rest = line.substr(word.size() + 1);
    return true;
}

bool read_entry(std::string_view line, CommitEntry* entry) {
    static const CommitChange kChanges[] = {CommitChange::Add, CommitChange::Replace,
                                            CommitChange::Delete};
    for (CommitChange change : kChanges) {
        std::string_view path;
        if (take_word(line, change_word(change), &path)) {
            entry->change = change;
            return canonical_commit_path(path, &entry->path) && entry->path == path;
        }
    }
    return false;
}

bool read_state(std::string_view word, CommitState* state) {
    for (CommitState candidate :
         {CommitState::Committing, CommitState::Done, CommitState::Undone}) {
        if (word == state_word(candidate)) {
            *state = candidate;
            return true;
        }
    }
    return false;
}

bool is_put(CommitChange change) {
    return change == CommitChange::Add || change == CommitChange::Replace;
}

// A put whose staged file is gone but was never moved in: the commit cannot be finished.
bool staged_file_lost(const CommitEntry& item, const CommitPresence& seen) {
    if (item.change == CommitChange::Add) {
        return !seen.staged && !seen.installed;
    }
    if (item.change == CommitChange::Replace) {
        return !seen.staged && !(seen.installed && seen.backup);
    }
    return false;
}

void append_forward_steps(size_t index, const CommitEntry& item, const CommitPresence& seen,
                          std::vector<CommitStep>* steps) {
    if (item.change == CommitChange::Delete) {
        if (seen.installed) {
            steps->push_back({CommitStepKind::InstalledToBackup, index});
        }
        return;
    }
    if (!seen.staged) {
        return;  // already moved in
    }
    if (item.change == CommitChange::Replace && seen.installed && !seen.backup) {
        steps->push_back({CommitStepKind::InstalledToBackup, index});
    }
    steps->push_back({CommitStepKind::StagedToInstalled, index});
}

void append_cleanup(CommitStepKind mark, std::vector<CommitStep>* steps) {
    steps->push_back({mark, 0});
    steps->push_back({CommitStepKind::RemoveStaging, 0});
    steps->push_back({CommitStepKind::RemoveRecord, 0});
}

}  // namespace

bool canonical_commit_path(std::string_view text, std::string* out) {
    out->clear();
    std::string path(text);
    // A leading separator makes an empty segment and ".." a segment that ends in a dot; two dots
    // inside a name are a package's sound name.
    if (path.empty() || path.size() >= kPathSize || path.find('\0') != std::string::npos ||
        path.find(':') != std::string::npos) {
        return false;
    }
    for (char& c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
        if (c == '/') {
            c = '\\';
        }
    }
    if (!segments_sound(path) || reserved_name(path)) {
        return false;
    }
    *out = std::move(path);
    return true;
}

bool commit_record_valid(const CommitRecord& record) {
    if (!version_sound(record.version) || record.entries.size() > kCommitMaxEntries) {
        return false;
    }
    std::set<std::string> seen;
    for (const CommitEntry& entry : record.entries) {
        std::string canonical;
        if (entry.change == CommitChange::Put || !canonical_commit_path(entry.path, &canonical) ||
            canonical != entry.path || !seen.insert(folded(entry.path)).second) {
            return false;
        }
    }
    return true;
}

std::string commit_record_text(const CommitRecord& record) {
    if (!commit_record_valid(record)) {
        return {};
    }
    std::string text = std::string(kHeaderLine) + "\nversion " + record.version + "\nstate " +
                       state_word(record.state) + "\nstamp " +
                       (record.stamp_replaces ? "replace" : "add") + "\n";
    for (const CommitEntry& entry : record.entries) {
        text += change_word(entry.change);
        text += ' ';
        text += entry.path;
        text += '\n';
    }
    text += "end " + std::to_string(record.entries.size()) + "\n";
    return text;
}

bool read_commit_record(std::string_view text, CommitRecord* out) {
    size_t cursor = 0;
    std::string_view line;
    std::string_view value;
    CommitRecord record;
    if (!next_line(text, &cursor, &line) || line != kHeaderLine ||
        !next_line(text, &cursor, &line) || !take_word(line, "version", &value)) {
        return false;
    }
    record.version = std::string(value);
    if (!next_line(text, &cursor, &line) || !take_word(line, "state", &value) ||
        !read_state(value, &record.state) || !next_line(text, &cursor, &line) ||
        !take_word(line, "stamp", &value) || (value != "add" && value != "replace")) {
        return false;
    }
    record.stamp_replaces = value == "replace";
    while (next_line(text, &cursor, &line)) {
        if (take_word(line, "end", &value)) {
            bool last = cursor == text.size();
            if (!last || value != std::to_string(record.entries.size()) ||
                !commit_record_valid(record)) {
                return false;
            }
            *out = std::move(record);
            return true;
        }
        CommitEntry entry;
        if (record.entries.size() >= kCommitMaxEntries || !read_entry(line, &entry)) {
            return false;
        }
        record.entries.push_back(std::move(entry));
    }
    return false;
}

std::vector<CommitEntry> commit_items(const CommitRecord& record) {
    std::vector<CommitEntry> items = record.entries;
    items.push_back(
        {kStampFileName, record.stamp_replaces ? CommitChange::Replace : CommitChange::Add});
    return items;
}

std::vector<CommitStep> commit_undo_steps(const std::vector<CommitEntry>& items,
                                          const std::vector<CommitPresence>& presence) {
    std::vector<CommitStep> steps;
    for (size_t index = items.size(); index-- > 0;) {
        const CommitPresence& seen = presence[index];
        bool moved_in = is_put(items[index].change) && !seen.staged && seen.installed &&
                        (items[index].change == CommitChange::Add || seen.backup);
        if (moved_in) {
            steps.push_back({CommitStepKind::InstalledToStaged, index});
        }
        if (seen.backup && (moved_in || !seen.installed)) {
            steps.push_back({CommitStepKind::BackupToInstalled, index});
        }
    }
    append_cleanup(CommitStepKind::MarkUndone, &steps);
    return steps;
}

RecoveryPlan plan_commit_recovery(const CommitRecord* record, bool record_readable,
                                  bool staging_present,
                                  const std::vector<CommitPresence>& presence) {
    if (record == nullptr) {
        if (!record_readable) {
            return {RecoveryAction::Unreadable, {}};
        }
        return {staging_present ? RecoveryAction::RemoveStaging : RecoveryAction::Nothing,
                staging_present ? std::vector<CommitStep>{{CommitStepKind::RemoveStaging, 0}}
                                : std::vector<CommitStep>{}};
    }
    if (record->state != CommitState::Committing) {
        return {record->state == CommitState::Done ? RecoveryAction::Finish : RecoveryAction::Undo,
                {{CommitStepKind::RemoveStaging, 0}, {CommitStepKind::RemoveRecord, 0}}};
    }
    std::vector<CommitEntry> items = commit_items(*record);
    if (items.size() != presence.size()) {
        return {RecoveryAction::Unreadable, {}};
    }
    for (size_t index = 0; index < items.size(); ++index) {
        if (staged_file_lost(items[index], presence[index])) {
            return {RecoveryAction::Undo, commit_undo_steps(items, presence)};
        }
    }
    RecoveryPlan plan{RecoveryAction::Finish, {}};
    for (size_t index = 0; index < items.size(); ++index) {
        append_forward_steps(index, items[index], presence[index], &plan.steps);
    }
    append_cleanup(CommitStepKind::MarkDone, &plan.steps);
    return plan;
}

}  // namespace velda
