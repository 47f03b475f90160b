#include "testkit/git_repo.h"

#include <unistd.h>

#include "core/text.h"

namespace kolvex::testkit {
namespace fs = std::filesystem;

namespace {

constexpr const char* USER_NAME = "Kolvex Test";
constexpr const char* USER_EMAIL = "test@kolvex.invalid";

core::ProcessResult run_git(const std::vector<std::string>& args, bool check) {
  std::vector<std::string> argv{"git"};
  argv.insert(argv.end(), args.begin(), args.end());
  core::ProcessOptions options;
  options.env = GitRepo::git_environment();
  core::ProcessResult result = core::run_process(argv, options);
  if (check && !result.ok()) {
    throw core::Error(core::join(argv, " ") + " failed with status " + std::to_string(result.returncode) + ": " +
                      result.stderr_text());
  }
  return result;
}

fs::path make_repository(const core::ScratchDir& scratch, std::string_view name, bool bare) {
  const fs::path path = fs::canonical(scratch.path()) / name;
  std::vector<std::string> args{"init", "-q", "-b", "main"};
  if (bare) args.push_back("--bare");
  args.push_back(path.native());
  run_git(args, true);
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"user.name", USER_NAME}, {"user.email", USER_EMAIL}, {"commit.gpgsign", "false"},
           {"core.autocrlf", "false"}}) {
    run_git({"-C", path.native(), "config", key, value}, true);
  }
  return path;
}

}  // namespace

std::map<std::string, std::optional<std::string>> GitRepo::git_environment() {
  return {{"GIT_CONFIG_GLOBAL", "/dev/null"}, {"GIT_CONFIG_NOSYSTEM", "1"}, {"GIT_TERMINAL_PROMPT", "0"},
          {"GIT_DIR", std::nullopt}, {"GIT_WORK_TREE", std::nullopt}, {"GIT_INDEX_FILE", std::nullopt}};
}

GitRepo GitRepo::init(std::string_view name) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-git-");
  fs::path path = make_repository(scratch, name, false);
  return GitRepo(std::move(scratch), std::move(path));
}

GitRepo GitRepo::init_bare(std::string_view name) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-git-");
  fs::path path = make_repository(scratch, name, true);
  return GitRepo(std::move(scratch), std::move(path));
}

void GitRepo::write(std::string_view relative, std::string_view bytes) const {
  const fs::path target = path_ / relative;
  fs::create_directories(target.parent_path());
  core::write_file(target, bytes);
}

void GitRepo::symlink(std::string_view relative, std::string_view target) const {
  const fs::path link = path_ / relative;
  fs::create_directories(link.parent_path());
  if (::symlink(std::string(target).c_str(), link.c_str()) != 0) throw core::os_error(errno, link);
}

void GitRepo::remove(std::string_view relative) const { fs::remove_all(path_ / relative); }

void GitRepo::add(const std::vector<std::string>& paths) const {
  std::vector<std::string> args{"-C", path_.native(), "add"};
  if (paths.empty()) {
    args.push_back("-A");
  } else {
    args.push_back("--");
    args.insert(args.end(), paths.begin(), paths.end());
  }
  run_git(args, true);
}

std::string GitRepo::commit(std::string_view message, bool allow_empty) const {
  std::vector<std::string> args{"-C", path_.native(), "commit", "-q", "-m", std::string(message)};
  if (allow_empty) args.push_back("--allow-empty");
  run_git(args, true);
  return head();
}

std::string GitRepo::commit_all(std::string_view message) const {
  add();
  return commit(message);
}

void GitRepo::add_gitlink(std::string_view relative, std::string_view sha) const {
  run_git({"-C", path_.native(), "update-index", "--add", "--cacheinfo",
           "160000," + std::string(sha) + "," + std::string(relative)},
          true);
}

std::string GitRepo::head() const {
  return std::string(core::strip(run_git({"-C", path_.native(), "rev-parse", "HEAD"}, true).stdout_text()));
}

core::ProcessResult GitRepo::git(const std::vector<std::string>& args) const {
  std::vector<std::string> full{"-C", path_.native()};
  full.insert(full.end(), args.begin(), args.end());
  return run_git(full, true);
}

core::ProcessResult GitRepo::git_unchecked(const std::vector<std::string>& args) const {
  std::vector<std::string> full{"-C", path_.native()};
  full.insert(full.end(), args.begin(), args.end());
  return run_git(full, false);
}

}  // namespace kolvex::testkit
