// `kolvex index` killed outright (SIGKILL) at many points of a run, each time
// followed by a normal run: whatever a killed run left (scratch directory,
// partial copies, temporary pointers, running tools) must never keep the next
// run from ending with exactly one live, intact snapshot, and no process of any
// run may outlive it. Kill points are the blocking SCIP indexer, the blocking
// zoekt-git-index, and fixed delays after the start, which land in whichever
// stage the run has reached.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/fs.h"
#include "core/sqlite.h"
#include "core/text.h"
#include "platform/config.h"
#include "testkit/fake_program.h"
#include "testkit/git_repo.h"
#include "tests/e2e/background_child.h"
#include "tests/e2e/kolvex_fixture.h"
#include "testkit/process_probe.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;
using testkit::EnvOverlay;

// Files of the test repository: enough for the build and the copy to take a
// moment, so that delays land inside them.
constexpr int SOURCE_FILES = 60;

struct KillPoint {
  const char* name;
  const char* blocking_tool;  // kill once this tool runs; null: after the delay
  std::chrono::milliseconds delay{0};
};

const KillPoint KILL_POINTS[] = {
    {"in the SCIP indexer", "scip-python"},
    {"in zoekt-git-index", "zoekt-git-index"},
    {"after 50 ms", nullptr, std::chrono::milliseconds(50)},
    {"after 300 ms", nullptr, std::chrono::milliseconds(300)},
    {"after 800 ms", nullptr, std::chrono::milliseconds(800)},
    {"after 1500 ms", nullptr, std::chrono::milliseconds(1500)},
};

class KillCampaign : public e2e::KolvexFixture {
 protected:
  KillCampaign() : logs_(core::ScratchDir::create("kolvex-e2e-logs-")), repo_(testkit::GitRepo::init("repo")) {
    tools_.push_back(zoekt_);
    for (const char* name : {"scip", "scip-python"}) tools_.push_back(bin_.install(name));
    for (int i = 0; i < SOURCE_FILES; ++i) {
      std::string text;
      for (int j = 0; j < 10; ++j) {
        text += "def handler_" + std::to_string(i) + "_" + std::to_string(j) + "(request):\n    return request\n\n";
      }
      repo_.write("pkg/module_" + std::to_string(i) + ".py", text);
    }
    repo_.commit_all("initial");
  }

  fs::path blocked_pid_file() const { return logs_.path() / "blocked.pid"; }
  fs::path all_pids_file() const { return logs_.path() / "all.pids"; }

  // Every fake tool appends its process id and start time (field 22 of its
  // /proc stat) to one file; `blocking` then writes its id to a file of its own
  // and blocks. `scip --version` passes the gate.
  EnvOverlay environment(const char* blocking) const {
    EnvOverlay env = base_environment();
    for (const testkit::FakeProgram& tool : tools_) {
      std::string run = "stat=$(< /proc/$$/stat); read -ra fields <<< \"${stat##*) }\"; "
                        "echo \"$$ ${fields[19]}\" >> '" + all_pids_file().string() + "'; ";
      if (tool.name() == "scip") run += "if [ \"$1\" = --version ]; then echo 0.9.1; exit 0; fi; ";
      if (blocking && tool.name() == blocking) {
        run += "echo $$ > '" + blocked_pid_file().string() + "'; exec sleep 60";
      } else if (tool.name() == "scip-python") {
        run += "exit 1";  // the SCIP stage fails; the run still publishes
      }
      env = testkit::merge_env(env, tool.env({.run = run}));
    }
    return env;
  }

  std::vector<std::string> with_prefix(const fs::path& directory, std::string_view prefix) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) {
      std::string name = entry.path().filename();
      if (name.starts_with(prefix)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The tools of every run so far, by id and start time: the id alone may name
  // a later process by now, since the runs of other tests go round the ids too.
  std::vector<std::pair<pid_t, unsigned long long>> recorded_tools() const {
    std::vector<std::pair<pid_t, unsigned long long>> tools;
    std::error_code ec;
    if (!fs::exists(all_pids_file(), ec)) return tools;
    std::istringstream lines(core::read_file(all_pids_file()));
    pid_t pid = 0;
    unsigned long long started = 0;
    while (lines >> pid >> started) tools.emplace_back(pid, started);
    return tools;
  }

  core::ScratchDir logs_;
  testkit::GitRepo repo_;
  std::vector<testkit::FakeProgram> tools_;
};

TEST_F(KillCampaign, EveryKilledRunIsFollowedByACleanPublication) {
  const std::vector<std::string> index = {"index", repo_.path().string(), "--scip"};
  for (const KillPoint& point : KILL_POINTS) {
    SCOPED_TRACE(point.name);
    core::remove_file_if_exists(blocked_pid_file());
    {
      e2e::BackgroundChild run(e2e::kolvex_command(index), environment(point.blocking_tool), tmp_.path(),
                               logs_.path() / "stdout.txt", logs_.path() / "stderr.txt");
      if (point.blocking_tool) {
        std::optional<pid_t> tool = testkit::wait_for_pid_file(blocked_pid_file());
        ASSERT_TRUE(tool) << run.err();
      } else {
        std::this_thread::sleep_for(point.delay);  // a kill point, not a measurement
      }
      run.signal(SIGKILL);
      ASSERT_TRUE(run.wait_for_exit());
    }

    core::ProcessResult next = e2e::run_kolvex(index, environment(nullptr), tmp_.path());
    ASSERT_EQ(next.returncode, 0) << next.stderr_text();

    // Exactly one generation, the live one, intact.
    const std::string live = pointer();
    EXPECT_EQ(with_prefix(index_dir(), "index-"),
              (std::vector<std::string>{live, live.substr(0, live.size() - 3) + ".metadata.json"}));
    EXPECT_EQ(with_prefix(index_dir(), ".current.tmp-"), std::vector<std::string>{});
    {
      core::Connection db = core::Connection::open(index_dir() / live, {.read_only = true});
      EXPECT_EQ(db.query_text("PRAGMA integrity_check"), "ok");
      EXPECT_EQ(db.query_int("SELECT COUNT(*) FROM syntax_files"), SOURCE_FILES);
      db.close();
    }
    EXPECT_EQ(row("repo")->status, platform::RepoStatus::DEGRADED);
    // No scratch directory of any run, and no tool of any run still running.
    EXPECT_EQ(with_prefix(tmp_.path(), "kolvex-index-"), std::vector<std::string>{});
    const std::vector<std::pair<pid_t, unsigned long long>> tools = recorded_tools();
    EXPECT_FALSE(tools.empty());  // every run starts tools, and each records itself
    for (const auto& [pid, started] : tools) {
      EXPECT_TRUE(testkit::process_gone_eventually(pid, started)) << pid;
    }
  }
}

}  // namespace
}  // namespace kolvex
