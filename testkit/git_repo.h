// Temporary git repositories for tests.
//
// A GitRepo lives in its own scratch directory and is removed with it. It is
// created with the initial branch "main" and a local user identity, and git is
// run with the global and system configuration switched off, so the machine's
// settings never change what a test sees. Every helper runs git through
// core::run_process and throws core::Error when git fails.
//
// Thread-safety: one owner; distinct repositories may be used from different threads.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs.h"
#include "core/process.h"

namespace kolvex::testkit {

class GitRepo {
 public:
  // A new work tree "<scratch>/<name>" with HEAD on "main".
  static GitRepo init(std::string_view name = "repo");
  // A new bare repository "<scratch>/<name>".
  static GitRepo init_bare(std::string_view name = "repo.git");

  GitRepo(GitRepo&&) noexcept = default;
  GitRepo& operator=(GitRepo&&) noexcept = default;

  // The repository's directory (absolute, symbolic links resolved).
  const std::filesystem::path& path() const noexcept { return path_; }
  // The scratch directory that holds the repository, for sibling files of a test.
  const std::filesystem::path& scratch() const noexcept { return scratch_.path(); }
  std::filesystem::path operator/(std::string_view relative) const { return path_ / relative; }

  // Writes a file (bytes as given), creating its parent directories.
  void write(std::string_view relative, std::string_view bytes) const;
  // Creates a symbolic link `relative` pointing at `target` (as written).
  void symlink(std::string_view relative, std::string_view target) const;
  void remove(std::string_view relative) const;

  // git add of the given paths (all changes when empty).
  void add(const std::vector<std::string>& paths = {}) const;
  // Commits what is staged; returns the new commit id.
  std::string commit(std::string_view message = "commit", bool allow_empty = false) const;
  // Stages every change of the work tree (git add -A), then commits. Note that
  // this also stages the removal of a gitlink whose directory does not exist.
  std::string commit_all(std::string_view message = "commit") const;
  // Stages a submodule entry (mode 160000) without a submodule checkout.
  void add_gitlink(std::string_view relative, std::string_view sha) const;
  std::string head() const;

  // Runs `git -C <repo> <args...>`; throws core::Error on a non-zero exit.
  core::ProcessResult git(const std::vector<std::string>& args) const;
  // Same, returning the result whatever the exit status.
  core::ProcessResult git_unchecked(const std::vector<std::string>& args) const;

  // The environment overlay under which the helpers run git.
  static std::map<std::string, std::optional<std::string>> git_environment();

 private:
  GitRepo(core::ScratchDir scratch, std::filesystem::path path)
      : scratch_(std::move(scratch)), path_(std::move(path)) {}
  core::ScratchDir scratch_;
  std::filesystem::path path_;
};

}  // namespace kolvex::testkit
