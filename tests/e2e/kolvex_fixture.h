// The common set-up of whole-command tests: private data and temporary
// directories, a directory of fake tools holding a zoekt-git-index fake, the
// isolated environment of a kolvex run, and the paths a run publishes to. A test
// fixture derives from KolvexFixture and adds its repositories and tools.
// Not thread-safe: one test thread uses a fixture.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "testkit/fake_program.h"
#include "tests/e2e/kolvex_run.h"

namespace kolvex::e2e {

class KolvexFixture : public testing::Test {
 protected:
  KolvexFixture()
      : home_(core::ScratchDir::create("kolvex-e2e-home-")),
        tmp_(core::ScratchDir::create("kolvex-e2e-tmp-")),
        bin_(testkit::FakeBin::create()),
        zoekt_(bin_.install("zoekt-git-index")),
        home_path_(home_.path()) {}

  // Points the data directory at `home` (by default the fixture's own).
  void use_home(const std::filesystem::path& home) { home_path_ = home; }
  const std::filesystem::path& home() const { return home_path_; }

  std::filesystem::path data_root() const { return home_path_ / "kolvex"; }
  std::filesystem::path index_dir(const std::string& slug = "repo") const {
    return platform::index_dir(slug, data_root());
  }
  // The name of the snapshot the pointer of `slug` publishes.
  std::string pointer(const std::string& slug = "repo") const { return core::read_file(index_dir(slug) / "current"); }

  std::optional<platform::RegisteredRepo> row(const std::string& slug) const {
    return registry_row(data_root(), slug);
  }

  // The environment of a kolvex run without any tool's behaviour: private data
  // and temporary directories and the fake tools first on a PATH that holds
  // only the system's own programs.
  testkit::EnvOverlay base_environment() const {
    return isolated_environment(home_path_, tmp_.path(), bin_.path_value("/usr/bin:/bin"));
  }

  // The base environment with the zoekt fake behaving as `zoekt_behaviour_`, then `extra`.
  testkit::EnvOverlay environment(const testkit::EnvOverlay& extra = {}) const {
    return testkit::merge_env(testkit::merge_env(base_environment(), zoekt_.env(zoekt_behaviour_)), extra);
  }

  // Runs kolvex in the temporary directory and waits.
  core::ProcessResult kolvex(const std::vector<std::string>& args, const testkit::EnvOverlay& extra = {}) const {
    return run_kolvex(args, environment(extra), tmp_.path());
  }

  // The scratch directories of runs left in the temporary directory.
  std::set<std::string> scratch_dirs() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(tmp_.path())) {
      std::string name = entry.path().filename().string();
      if (name.starts_with("kolvex-index-")) names.insert(name);
    }
    return names;
  }

  core::ScratchDir home_;
  core::ScratchDir tmp_;
  testkit::FakeBin bin_;
  testkit::FakeProgram zoekt_;
  testkit::FakeBehaviour zoekt_behaviour_;

 private:
  std::filesystem::path home_path_;
};

}  // namespace kolvex::e2e
