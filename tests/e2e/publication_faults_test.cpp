// Publication when the disk fails `kolvex index`: a full disk during the copy
// of the snapshot (a real, small tmpfs as the data directory), a failing flush
// of the snapshot directory right after the pointer swap, and a failing sync of
// the registry's final write after it (both failed by a preloaded library). The
// run must report the real cause, leave nothing behind that a later run trips
// over, keep every generation until its new state is recorded, and record what
// readers actually see.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/fs.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_fixture.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

using e2e::SEMANTIC_SKIPPED;
// The small file system: room for the registry and one snapshot.
constexpr const char* TINY_DISK_OPTIONS = "size=8m";
// What the disk filler leaves free: enough for the registry's writes, far too
// little for the snapshot database of the test repository.
constexpr long FREE_AFTER_FILLING = 128 * 1024;
// Files of the test repository, so that its snapshot is well over that.
constexpr int SOURCE_FILES = 150;

// A tmpfs mounted on a new directory for the fixture's lifetime.
class TinyDisk {
 public:
  explicit TinyDisk(fs::path where) : path_(std::move(where)) {
    fs::create_directories(path_);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, TINY_DISK_OPTIONS) == 0;
    error_ = mounted_ ? 0 : errno;
  }
  ~TinyDisk() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  TinyDisk(const TinyDisk&) = delete;
  TinyDisk& operator=(const TinyDisk&) = delete;
  bool mounted() const noexcept { return mounted_; }
  int error_number() const noexcept { return error_; }
  const fs::path& path() const noexcept { return path_; }

 private:
  fs::path path_;
  bool mounted_ = false;
  int error_ = 0;
};

class PublicationFaults : public e2e::KolvexFixture {
 protected:
  PublicationFaults() : scratch_(core::ScratchDir::create("kolvex-e2e-disk-")), repo_(testkit::GitRepo::init("repo")) {
    for (int i = 0; i < SOURCE_FILES; ++i) {
      std::string text;
      for (int j = 0; j < 20; ++j) {
        text += "class Service" + std::to_string(i) + "x" + std::to_string(j) + ":\n    def handle_request_" +
                std::to_string(j) + "(self, payload):\n        return payload\n\n";
      }
      repo_.write("pkg/module_" + std::to_string(i) + ".py", text);
    }
    repo_.commit_all("initial");
  }

  fs::path snapshot_dir() const { return index_dir("repo"); }

  core::ProcessResult kolvex(const EnvOverlay& extra = {}) const {
    return KolvexFixture::kolvex({"index", repo_.path().string(), "--no-scip"}, extra);
  }

  // A run with the fault library preloaded and `faults` naming what fails.
  core::ProcessResult kolvex_with_faults(const EnvOverlay& faults) const {
    std::string asan_options = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    // A sanitizer runtime would insist on being loaded before the preloaded library.
    asan_options += std::string(asan_options.empty() ? "" : ":") + "verify_asan_link_order=0";
    return kolvex(testkit::merge_env({{"LD_PRELOAD", FSYNC_FAULT_PRELOAD}, {"ASAN_OPTIONS", asan_options}}, faults));
  }

  std::vector<std::string> snapshot_entries() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(snapshot_dir(), ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // The entries of a directory that holds exactly one published generation.
  static std::vector<std::string> one_generation(const std::string& name) {
    return {"current", name, name.substr(0, name.size() - 3) + ".metadata.json"};
  }

  core::ScratchDir scratch_;
  testkit::GitRepo repo_;
};

TEST_F(PublicationFaults, FullDiskDuringTheCopyIsReportedAndLeavesNothingBehind) {
  TinyDisk disk(scratch_.path() / "disk");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(disk.error_number());
  use_home(disk.path());

  ASSERT_EQ(kolvex().returncode, 0);
  const std::string before = pointer();
  const std::vector<std::string> entries_before = snapshot_entries();
  ASSERT_EQ(entries_before, one_generation(before));

  // The indexer fills the disk just before publication.
  const fs::path filler = disk.path() / "filler";
  zoekt_behaviour_.run = "avail=$(df -B1 --output=avail '" + disk.path().string() +
                         "' | tail -n 1); fallocate -l $((avail - " + std::to_string(FREE_AFTER_FILLING) + ")) '" +
                         filler.string() + "'";
  core::ProcessResult full = kolvex();
  EXPECT_EQ(full.returncode, 1);
  const std::string cause = "[Errno 28] No space left on device: '" + (snapshot_dir() / "index-").string() +
                            repo_.head() + "-";
  const std::string error = full.stderr_text();
  EXPECT_TRUE(error.starts_with(std::string(SEMANTIC_SKIPPED) + "error: " + cause) && error.ends_with(".db'\n"))
      << error;
  auto row = e2e::registry_row(data_root(), "repo");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->status, platform::RepoStatus::FAILED);
  EXPECT_TRUE(row->status_reason && row->status_reason->starts_with(cause)) << row->status_reason.value_or("none");
  // The previous generation is still live, and the failed one left no file.
  EXPECT_EQ(pointer(), before);
  EXPECT_EQ(snapshot_entries(), entries_before);

  // With room again the next run publishes.
  fs::remove(filler);
  zoekt_behaviour_.run.clear();
  core::ProcessResult again = kolvex();
  EXPECT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_EQ(e2e::registry_row(data_root(), "repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_NE(pointer(), before);
  EXPECT_EQ(snapshot_entries(), one_generation(pointer()));
}

TEST_F(PublicationFaults, FailingDirectoryFlushAfterTheSwapIsAFailureOfALiveSnapshot) {
  use_home(scratch_.path() / "home");
  ASSERT_EQ(kolvex().returncode, 0);
  const std::string before = pointer();

  core::ProcessResult run =
      kolvex_with_faults({{"KOLVEX_FAULT_FSYNC_DIRECTORY", fs::canonical(snapshot_dir()).string()}});
  EXPECT_EQ(run.returncode, 1);
  // The new generation is what readers see, and both the report and the row say so.
  const std::string live = pointer();
  EXPECT_NE(live, before);
  const std::string reason = "[Errno 5] Input/output error: '" + snapshot_dir().string() +
                             "' — the navigation snapshot is already live (" + live +
                             "); recording its registry state failed";
  EXPECT_EQ(run.stderr_text(), std::string(SEMANTIC_SKIPPED) + "error: " + reason + "\n");
  auto row = e2e::registry_row(data_root(), "repo");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->status, platform::RepoStatus::FAILED);
  EXPECT_EQ(row->status_reason, reason);

  core::ProcessResult again = kolvex();
  EXPECT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_EQ(e2e::registry_row(data_root(), "repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(snapshot_entries(), one_generation(pointer()));
}

TEST_F(PublicationFaults, FailingFinalRegistryWriteKeepsTheSupersededGeneration) {
  use_home(scratch_.path() / "home");
  ASSERT_EQ(kolvex().returncode, 0);
  const std::string before = pointer();

  // The flush of the snapshot directory after the swap arms a failing sync of
  // the registry's log: the final registry write fails, the failure record after it
  // goes through.
  core::ProcessResult run = kolvex_with_faults(
      {{"KOLVEX_FAULT_SYNC_AFTER_DIRECTORY", fs::canonical(snapshot_dir()).string()},
       {"KOLVEX_FAULT_SYNC_FILE", (fs::canonical(data_root()) / "registry.db-wal").string()}});
  EXPECT_EQ(run.returncode, 1);
  const std::string live = pointer();
  EXPECT_NE(live, before);
  const std::string reason = "cannot write to the registry " + (data_root() / "registry.db").string() +
                             ": disk I/O error — check the disk that holds " + data_root().string() +
                             " (the system log names the failing device), then run the command again"
                             " — the navigation snapshot is already live (" +
                             live + "); recording its registry state failed";
  EXPECT_EQ(run.stderr_text(), std::string(SEMANTIC_SKIPPED) + "error: " + reason + "\n");
  auto row = e2e::registry_row(data_root(), "repo");
  ASSERT_TRUE(row);
  EXPECT_EQ(row->status, platform::RepoStatus::FAILED);
  EXPECT_EQ(row->status_reason, reason);
  // Nothing is retired before the new state is recorded: the superseded
  // generation is still there beside the live one.
  std::vector<std::string> both = one_generation(before);
  for (const std::string& entry : one_generation(live)) {
    if (entry != "current") both.push_back(entry);
  }
  std::sort(both.begin(), both.end());
  EXPECT_EQ(snapshot_entries(), both);

  // The next successful run retires it.
  core::ProcessResult again = kolvex();
  EXPECT_EQ(again.returncode, 0) << again.stderr_text();
  EXPECT_EQ(e2e::registry_row(data_root(), "repo")->status, platform::RepoStatus::INDEXED);
  EXPECT_EQ(snapshot_entries(), one_generation(pointer()));
}

}  // namespace
}  // namespace kolvex
