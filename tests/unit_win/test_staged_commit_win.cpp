// The staged commit on a real folder: cut after every step, then the next run's recovery; each
// time every file is one release's and the stamp names that release.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "test_support.h"
#include "install/staged_commit.h"

using namespace velda;

namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

const Files kOld = {{"Velda.exe", "old exe"},
                    {"data\\a.pak", "old a"},
                    {"old.dll", "old dll"},
                    {"velda.version", "1.0.0"}};
const Files kNew = {{"Velda.exe", "new exe"},
                    {"data\\a.pak", "new a"},
                    {"data\\more\\b.pak", "new b"},
                    {"velda.version", "2.0.0"}};
constexpr size_t kSteps = 11;  // 2 + 2 + 1 + 1 + stamp 2, done, staging, record

Files files_under(const fs::path& folder) {
    Files files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (item.is_regular_file()) {
            files[fs::relative(item.path(), folder).string()] =
                read_whole_file(item.path().string());
        }
    }
    return files;
}

void write(const std::string& path, const std::string& content) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), out);
    std::fclose(out);
}

struct Installation {
    TempFolder root;
    std::string install = (root.path() / "velda").string();
    std::string staging = install + kStagingSuffix;

    Installation() {
        for (const auto& [path, content] : kOld) {
            fs::create_directories(fs::path(install + "\\" + path).parent_path());
            write(install + "\\" + path, content);
        }
    }

    CommitRecord stage_new_release() {
        EXPECT_TRUE(begin_staging(install.c_str()));
        CommitRecord plan{CommitState::Committing, "2.0.0", {}};
        for (const auto& [path, content] : kNew) {
            if (path == "velda.version") {
                continue;
            }
            char staged[kPathSize];
            EXPECT_TRUE(prepare_staged_path(install.c_str(), path, staged)) << path;
            write(staged, content);
            plan.entries.push_back({path, CommitChange::Put});
        }
        plan.entries.push_back({"old.dll", CommitChange::Delete});
        return plan;
    }

    Files files() const { return files_under(install); }
    bool clean() const { return !fs::exists(staging) && !fs::exists(install + "\\velda.commit"); }
};

TEST(StagedCommitWin, WholeCommitAndAnUpdateThatNeverBegan) {
    Installation installation;
    CommitRecord plan = installation.stage_new_release();
    RecoveryOutcome recovered = recover_commit(installation.install.c_str());
    EXPECT_EQ(recovered.action, RecoveryAction::RemoveStaging);
    EXPECT_EQ(installation.files(), kOld);
    EXPECT_TRUE(installation.clean());

    plan = installation.stage_new_release();
    CommitOutcome outcome = commit_staged(installation.install.c_str(), plan);
    EXPECT_EQ(outcome.result, CommitResult::Committed);
    EXPECT_EQ(installation.files(), kNew);
    EXPECT_TRUE(installation.clean());
}

TEST(StagedCommitWin, RefusedBeforeAnythingChanges) {
    Installation installation;
    CommitRecord plan = installation.stage_new_release();
    plan.entries.push_back({"missing.bin", CommitChange::Put});
    EXPECT_EQ(commit_staged(installation.install.c_str(), plan).result, CommitResult::Refused);
    EXPECT_EQ(installation.files(), kOld);
}

TEST(StagedCommitWin, CutAfterEveryStepIsFinishedByTheNextRun) {
    for (size_t cut = 0; cut <= kSteps; ++cut) {
        Installation installation;
        CommitRecord plan = installation.stage_new_release();
        CommitOutcome outcome = commit_staged(installation.install.c_str(), plan, cut);
        EXPECT_EQ(outcome.result, cut < kSteps ? CommitResult::Cut : CommitResult::Committed)
            << cut;
        // The next run is cut in its recovery too, once, before it recovers whole.
        (void)recover_commit(installation.install.c_str(), 1);
        RecoveryOutcome recovered = recover_commit(installation.install.c_str());
        EXPECT_TRUE(recovered.complete) << cut;
        EXPECT_EQ(installation.files(), kNew) << cut;
        EXPECT_TRUE(installation.clean()) << cut;
    }
}

TEST(StagedCommitWin, AStagedFileLostAfterACutIsUndoneToTheOldRelease) {
    const char* staged_names[] = {"Velda.exe", "data\\a.pak", "data\\more\\b.pak", "velda.version"};
    for (size_t cut = 0; cut < 8; ++cut) {  // up to the stamp's last move
        Installation installation;
        CommitRecord plan = installation.stage_new_release();
        ASSERT_EQ(commit_staged(installation.install.c_str(), plan, cut).result, CommitResult::Cut);
        bool lost = false;
        for (const char* name : staged_names) {
            std::string staged = installation.staging + "\\new\\" + name;
            if (!lost && fs::exists(staged)) {
                lost = fs::remove(staged);
            }
        }
        ASSERT_TRUE(lost) << cut;
        RecoveryOutcome recovered = recover_commit(installation.install.c_str());
        EXPECT_EQ(recovered.action, RecoveryAction::Undo) << cut;
        EXPECT_TRUE(recovered.complete) << cut;
        EXPECT_EQ(installation.files(), kOld) << cut;
        EXPECT_TRUE(installation.clean()) << cut;
    }
}

}  // namespace
