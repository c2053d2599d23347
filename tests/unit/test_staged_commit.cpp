#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/staged_commit.h"

using namespace velda;

namespace {

using K = CommitStepKind;

CommitRecord sample_record(CommitState state = CommitState::Committing) {
    CommitRecord record;
    record.state = state;
    record.version = "1.2.0";
    record.entries = {{"Velda.exe", CommitChange::Replace},
                      {"data\\new.pak", CommitChange::Add},
                      {"old.dll", CommitChange::Delete}};
    return record;
}

TEST(CommitPath, RulesOfTheChangedFilesAndOfTheCommit) {
    struct Case {
        const char* text;
        const char* canonical;  // null: refused
    } cases[] = {
        {"Velda.exe", "Velda.exe"},
        {"data/sub/a b.pak", "data\\sub\\a b.pak"},
        {"data\\x", "data\\x"},
        {"", nullptr},
        {"../x", nullptr},
        {"a..b", "a..b"},  // a package's name; the changed-files lines refuse it before
        {"a/../b", nullptr},
        {"..", nullptr},
        {"a/..", nullptr},
        {"C:x", nullptr},
        {"x:stream", nullptr},
        {"/x", nullptr},
        {"\\x", nullptr},
        {"a//b", nullptr},
        {"a/./b", nullptr},
        {"a/", nullptr},
        {"a./b", nullptr},
        {"a /b", nullptr},
        {" a", nullptr},
        {".hidden/x", ".hidden\\x"},
        {".", nullptr},
        {"a\tb", nullptr},
        {"a\nb", nullptr},
        {"velda.version", nullptr},
        {"VELDA.COMMIT", nullptr},
        {"velda.commit.tmp", nullptr},
        {"sub/velda.version", "sub\\velda.version"},
    };
    for (const Case& c : cases) {
        std::string out;
        bool allowed = canonical_commit_path(c.text, &out);
        EXPECT_EQ(allowed, c.canonical != nullptr) << c.text;
        EXPECT_EQ(out, c.canonical == nullptr ? "" : c.canonical) << c.text;
    }
    std::string out;
    EXPECT_FALSE(canonical_commit_path(std::string(260, 'a'), &out));
    EXPECT_TRUE(canonical_commit_path(std::string(259, 'a'), &out));
}

TEST(CommitRecordText, WrittenAsDocumentedAndReadBack) {
    CommitRecord record = sample_record();
    const std::string text = commit_record_text(record);
    EXPECT_EQ(text,
              "velda-commit 1\nversion 1.2.0\nstate commit\nstamp replace\nreplace Velda.exe\n"
              "add data\\new.pak\ndelete old.dll\nend 3\n");
    CommitRecord back;
    ASSERT_TRUE(read_commit_record(text, &back));
    EXPECT_EQ(commit_record_text(back), text);
    for (CommitState state : {CommitState::Done, CommitState::Undone}) {
        ASSERT_TRUE(read_commit_record(commit_record_text(sample_record(state)), &back));
        EXPECT_EQ(back.state, state);
    }
}

TEST(CommitRecordText, NothingInvalidIsWritten) {
    CommitRecord record = sample_record();
    record.entries.push_back({"velda.EXE", CommitChange::Add});  // same file ignoring case
    EXPECT_EQ(commit_record_text(record), "");
    record = sample_record();
    record.entries[0].change = CommitChange::Put;
    EXPECT_EQ(commit_record_text(record), "");
    const std::string too_long(64, '1');
    for (const std::string& version : {std::string(), std::string("1.0 beta"), too_long}) {
        record = sample_record();
        record.version = version;
        EXPECT_EQ(commit_record_text(record), "") << version;
    }
    record = sample_record();
    record.entries.assign(kCommitMaxEntries + 1, {"x", CommitChange::Add});
    EXPECT_EQ(commit_record_text(record), "");
}

TEST(CommitRecordText, ReaderRefusesAnythingMalformed) {
    const std::string good = commit_record_text(sample_record());
    const char* bad[] = {
        "",
        "velda-commit 2\nversion 1\nstate commit\nstamp add\nend 0\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nend 0",       // no last line feed
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nend 1\n",     // count differs
        "velda-commit 1\nversion 1\nstate commit\nstamp add\n",            // cut before end
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nend 0\nx\n",  // after end
        "velda-commit 1\nversion 1\nstate maybe\nstamp add\nend 0\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp maybe\nend 0\n",
        "velda-commit 1\nversion 1\nstate commit\nend 0\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nput a\nend 1\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nadd a/b\nend 1\n",  // not canonical
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nadd ..\\a\nend 1\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nadd a\nadd A\nend 2\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nadd  a\nend 1\n",
        "velda-commit 1\r\nversion 1\nstate commit\nstamp add\nend 0\n",
        "velda-commit 1\nversion \nstate commit\nstamp add\nend 0\n",
        "velda-commit 1\nversion 1\nstate commit\nstamp add\nend 00\n",
    };
    CommitRecord out;
    for (const char* text : bad) {
        EXPECT_FALSE(read_commit_record(text, &out)) << text;
    }
    EXPECT_FALSE(read_commit_record(good.substr(0, good.size() - 1), &out));
    std::string with_nul = good;
    with_nul.insert(with_nul.find("old.dll"), 1, '\0');
    EXPECT_FALSE(read_commit_record(with_nul, &out));
    EXPECT_TRUE(
        read_commit_record("velda-commit 1\nversion 1\nstate commit\nstamp add\nend 0\n", &out));
}

// Presence of the items of sample_record(): Velda.exe (replace), data\new.pak (add), old.dll
// (delete), then the stamp.
struct RecoveryCase {
    const char* what;
    std::vector<CommitPresence> presence;
    RecoveryAction action;
    std::vector<CommitStep> steps;
};

TEST(CommitRecovery, DecisionAndStepsFromWhatExists) {
    const CommitPresence staged_old{true, true, false};   // replace before its first move
    const CommitPresence staged_new{true, false, false};  // add before its move
    const CommitPresence present{false, true, false};     // delete not yet done
    const CommitPresence replaced{false, true, true};
    const CommitPresence added{false, true, false};
    const CommitPresence deleted{false, false, true};
    const CommitPresence half{true, false, true};  // replace between its two moves
    const std::vector<CommitStep> finish_tail = {
        {K::MarkDone, 0}, {K::RemoveStaging, 0}, {K::RemoveRecord, 0}};
    const std::vector<CommitStep> undo_tail = {
        {K::MarkUndone, 0}, {K::RemoveStaging, 0}, {K::RemoveRecord, 0}};
    auto with = [](std::vector<CommitStep> steps, const std::vector<CommitStep>& tail) {
        steps.insert(steps.end(), tail.begin(), tail.end());
        return steps;
    };
    const RecoveryCase cases[] = {
        {"nothing moved yet",
         {staged_old, staged_new, present, staged_old},
         RecoveryAction::Finish,
         with({{K::InstalledToBackup, 0},
               {K::StagedToInstalled, 0},
               {K::StagedToInstalled, 1},
               {K::InstalledToBackup, 2},
               {K::InstalledToBackup, 3},
               {K::StagedToInstalled, 3}},
              finish_tail)},
        {"cut between the two moves of Velda.exe",
         {half, staged_new, present, staged_old},
         RecoveryAction::Finish,
         with({{K::StagedToInstalled, 0},
               {K::StagedToInstalled, 1},
               {K::InstalledToBackup, 2},
               {K::InstalledToBackup, 3},
               {K::StagedToInstalled, 3}},
              finish_tail)},
        {"cut before the stamp",
         {replaced, added, deleted, half},
         RecoveryAction::Finish,
         with({{K::StagedToInstalled, 3}}, finish_tail)},
        {"everything moved, not yet marked done",
         {replaced, added, deleted, replaced},
         RecoveryAction::Finish,
         finish_tail},
        {"first installation's stamp not yet moved in",
         {replaced, added, deleted, staged_new},
         RecoveryAction::Finish,
         with({{K::StagedToInstalled, 3}}, finish_tail)},
        {"the staged stamp is gone before it replaced the old one",
         {replaced, added, deleted, {false, true, false}},
         RecoveryAction::Undo,
         with({{K::BackupToInstalled, 2},
               {K::InstalledToStaged, 1},
               {K::InstalledToStaged, 0},
               {K::BackupToInstalled, 0}},
              undo_tail)},
        {"a staged file not moved in is gone",
         {replaced, {false, false, false}, present, staged_old},
         RecoveryAction::Undo,
         with({{K::InstalledToStaged, 0}, {K::BackupToInstalled, 0}}, undo_tail)},
        {"staged Velda.exe gone before its first move",
         {{false, true, false}, added, deleted, staged_old},
         RecoveryAction::Undo,
         with({{K::BackupToInstalled, 2}, {K::InstalledToStaged, 1}}, undo_tail)},
        {"undo cut after the new file went back to staging",
         {half, {false, false, false}, deleted, staged_old},
         RecoveryAction::Undo,
         with({{K::BackupToInstalled, 2}, {K::BackupToInstalled, 0}}, undo_tail)},
    };
    CommitRecord record = sample_record();
    for (const RecoveryCase& c : cases) {
        RecoveryPlan plan = plan_commit_recovery(&record, true, true, c.presence);
        EXPECT_EQ(plan.action, c.action) << c.what;
        EXPECT_EQ(plan.steps, c.steps) << c.what;
    }
}

TEST(CommitRecovery, WithoutACommitUnderWay) {
    RecoveryPlan plan = plan_commit_recovery(nullptr, true, false, {});
    EXPECT_EQ(plan.action, RecoveryAction::Nothing);
    EXPECT_TRUE(plan.steps.empty());
    plan = plan_commit_recovery(nullptr, true, true, {});
    EXPECT_EQ(plan.action, RecoveryAction::RemoveStaging);
    EXPECT_EQ(plan.steps, (std::vector<CommitStep>{{K::RemoveStaging, 0}}));
    plan = plan_commit_recovery(nullptr, false, true, {});
    EXPECT_EQ(plan.action, RecoveryAction::Unreadable);
    EXPECT_TRUE(plan.steps.empty());

    const std::vector<CommitStep> cleanup = {{K::RemoveStaging, 0}, {K::RemoveRecord, 0}};
    CommitRecord done = sample_record(CommitState::Done);
    plan = plan_commit_recovery(&done, true, true, {});
    EXPECT_EQ(plan.action, RecoveryAction::Finish);
    EXPECT_EQ(plan.steps, cleanup);
    CommitRecord undone = sample_record(CommitState::Undone);
    plan = plan_commit_recovery(&undone, true, false, {});
    EXPECT_EQ(plan.action, RecoveryAction::Undo);
    EXPECT_EQ(plan.steps, cleanup);
    CommitRecord committing = sample_record();
    plan = plan_commit_recovery(&committing, true, true, {{true, true, false}});
    EXPECT_EQ(plan.action, RecoveryAction::Unreadable) << "presence of another plan";
}

}  // namespace
