// What setup.sh installs runs from the install prefix alone: kolvex installed
// from the build tree, then tools/install-stand-ins.sh run from two checkouts in
// turn (the npm indexers, the scip and zoekt-git-index stand-ins), both
// checkouts deleted, and a Python repository indexed with the real scip-python
// from the prefix.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "core/text.h"
#include "testkit/git_repo.h"
#include "tests/e2e/kolvex_run.h"

namespace kolvex {
namespace {

namespace fs = std::filesystem;

const fs::path SOURCE_DIR = KOLVEX_SOURCE_DIR;
const fs::path BUILD_DIR = KOLVEX_BUILD_DIR;
const fs::path NODE_MODULES = KOLVEX_NODE_MODULES;

// What the install script may read of a checkout: tools/ and the pinned npm
// packages (linked, as in a worktree).
fs::path make_checkout(const fs::path& dir) {
  fs::create_directories(dir / "third_party");
  fs::copy(SOURCE_DIR / "tools", dir / "tools", fs::copy_options::recursive);
  fs::copy_file(SOURCE_DIR / "third_party" / "package-lock.json", dir / "third_party" / "package-lock.json");
  fs::create_directory_symlink(NODE_MODULES, dir / "third_party" / "node_modules");
  return dir;
}

core::ProcessResult run(const std::vector<std::string>& argv, const testkit::EnvOverlay& env = {}) {
  core::ProcessOptions options;
  options.env = env;
  return core::run_process(argv, options);
}

bool is_elf(const fs::path& file) { return core::read_file(file).starts_with("\x7f" "ELF"); }

// Every way a file under `prefix` could refer to `gone`: a symbolic link's
// target, an ELF file's RUNPATH or RPATH, a text file's contents. Also links
// whose target is missing or outside the prefix. One line per finding.
std::vector<std::string> references(const fs::path& prefix, const std::vector<fs::path>& gone) {
  std::vector<std::string> found;
  auto mentions = [&](std::string_view text) {
    for (const fs::path& dir : gone) {
      if (text.find(dir.string()) != std::string_view::npos) return true;
    }
    return false;
  };
  const fs::path real_prefix = fs::canonical(prefix);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(prefix)) {
    const fs::path& path = entry.path();
    if (entry.is_symlink()) {
      const fs::path target = fs::read_symlink(path);
      std::error_code error;
      const fs::path resolved = fs::canonical(path, error);
      if (mentions(target.string())) found.push_back("link " + path.string() + " -> " + target.string());
      if (error) {
        found.push_back("dangling link " + path.string() + " -> " + target.string());
      } else if (!resolved.string().starts_with(real_prefix.string() + "/") && target.is_relative()) {
        found.push_back("link out of the prefix " + path.string() + " -> " + target.string());
      }
    } else if (entry.is_regular_file()) {
      if (is_elf(path)) {
        const core::ProcessResult dynamic = run({"readelf", "-d", path.string()});
        const std::string listing = dynamic.stdout_text();  // the lines below point into it
        for (std::string_view line : core::splitlines(listing)) {
          if ((line.find("RUNPATH") != std::string_view::npos || line.find("RPATH") != std::string_view::npos) &&
              mentions(line)) {
            found.push_back("ELF " + path.string() + ": " + std::string(line));
          }
        }
      } else if (mentions(core::read_file(path))) {
        found.push_back("text " + path.string());
      }
    }
  }
  return found;
}

class InstalledTools : public testing::Test {
 protected:
  void SetUp() override {
    if (!core::find_program("node", "/usr/bin:/bin")) GTEST_SKIP() << "node is not installed in /usr/bin or /bin";
    if (!fs::exists(NODE_MODULES / "@sourcegraph" / "scip-python")) {
      GTEST_SKIP() << "scip-python is not unpacked in " << NODE_MODULES.string() << " (npm ci in third_party/)";
    }
  }

  // The prefix's programs first, then the system's: what a user of the install has.
  std::string path_value() const { return (prefix_ / "bin").string() + ":/usr/bin:/bin"; }

  // tools/install-stand-ins.sh of `checkout`, with the search path `path`.
  core::ProcessResult install_stand_ins(const fs::path& checkout, const std::string& path) const {
    return run({"bash", (checkout / "tools" / "install-stand-ins.sh").string()},
               {{"PREFIX", prefix_.string()}, {"BUILD_DIR", BUILD_DIR.string()}, {"PATH", path}});
  }

  core::ScratchDir scratch_ = core::ScratchDir::create("kolvex-install-e2e-");
  fs::path prefix_ = scratch_.path() / "prefix";
};

TEST_F(InstalledTools, EverythingRunsFromThePrefixAfterTheCheckoutsAreGone) {
  core::ProcessResult installed = run({"cmake", "--install", BUILD_DIR.string(), "--prefix", prefix_.string()});
  ASSERT_EQ(installed.returncode, 0) << installed.stderr_text();
  const std::vector<fs::path> checkouts = {make_checkout(scratch_.path() / "first-checkout"),
                                           make_checkout(scratch_.path() / "second-checkout")};
  for (const fs::path& checkout : checkouts) {
    SCOPED_TRACE(checkout.string());
    core::ProcessResult stand_ins = install_stand_ins(checkout, path_value());
    ASSERT_EQ(stand_ins.returncode, 0) << stand_ins.stderr_text();
    EXPECT_EQ(stand_ins.stdout_text(),
              "setup: scip-typescript from the pinned npm package\n"
              "setup: scip-python from the pinned npm package\n"
              "setup: scip stand-in installed (version report and expt-convert)\n"
              "setup: zoekt-git-index stand-in installed (builds no search shards; code search needs the real "
              "zoekt)\n");
  }
  for (const fs::path& checkout : checkouts) fs::remove_all(checkout);

  EXPECT_EQ(references(prefix_, {checkouts[0], checkouts[1], BUILD_DIR, SOURCE_DIR}), std::vector<std::string>{});
  for (const char* program : {"scip-python", "scip-typescript"}) {
    EXPECT_EQ(fs::read_symlink(prefix_ / "bin" / program).string().rfind("../lib/kolvex/node_modules/", 0), 0u)
        << program;
  }

  testkit::GitRepo repo = testkit::GitRepo::init("python-app");
  const fs::path fixture = fs::path(KOLVEX_E2E_FIXTURES) / "python-app";
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(fixture)) {
    if (entry.is_regular_file()) {
      repo.write(fs::relative(entry.path(), fixture).string(), core::read_file(entry.path()));
    }
  }
  repo.commit_all("fixture");
  core::ScratchDir home = core::ScratchDir::create("kolvex-install-e2e-home-");
  core::ScratchDir tmp = core::ScratchDir::create("kolvex-install-e2e-tmp-");
  core::ProcessResult indexed = run({(prefix_ / "bin" / "kolvex").string(), "index", repo.path().string(), "--scip"},
                                    e2e::isolated_environment(home.path(), tmp.path(), path_value()));
  ASSERT_EQ(indexed.returncode, 0) << indexed.stderr_text();
  std::optional<platform::RegisteredRepo> stored = e2e::registry_row(home.path() / "kolvex", "python-app");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->scip_state, platform::ScipState::AVAILABLE) << stored->scip_failure_stderr.value_or("");
  EXPECT_EQ(stored->status, platform::RepoStatus::INDEXED) << stored->status_reason.value_or("");
}

TEST_F(InstalledTools, AStandInNeverReplacesARealTool) {
  // Real programs: one earlier on the search path, one in the prefix itself
  // (not on the search path) that the script did not put there.
  const fs::path elsewhere = scratch_.path() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directories(prefix_ / "bin");
  const std::string real_program = "#!/bin/sh\necho real\n";
  core::write_file(elsewhere / "scip", real_program);
  core::write_file(prefix_ / "bin" / "zoekt-git-index", real_program);
  for (const fs::path& program : {elsewhere / "scip", prefix_ / "bin" / "zoekt-git-index"}) {
    fs::permissions(program, fs::perms::owner_all);
  }
  const fs::path checkout = make_checkout(scratch_.path() / "checkout");

  core::ProcessResult stand_ins = install_stand_ins(checkout, elsewhere.string() + ":/usr/bin:/bin");
  ASSERT_EQ(stand_ins.returncode, 0) << stand_ins.stderr_text();
  EXPECT_EQ(stand_ins.stdout_text(),
            "setup: scip-typescript from the pinned npm package\n"
            "setup: scip-python from the pinned npm package\n"
            "setup: scip found on PATH; the stand-in is not installed\n"
            "setup: " + (prefix_ / "bin" / "zoekt-git-index").string() + " is not one of ours; it is left as it is\n");
  EXPECT_FALSE(fs::exists(prefix_ / "bin" / "scip"));
  EXPECT_EQ(core::read_file(prefix_ / "bin" / "zoekt-git-index"), real_program);
}

}  // namespace
}  // namespace kolvex
