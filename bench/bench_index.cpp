// Whole indexing runs of the kolvex program against Universal Ctags on the same
// trees of real sources: the system's C headers (/usr/include) and the Python
// standard library (/usr/lib/python3.11), copied into a temporary git
// repository, at two sizes (every QUARTER-th file, and every file). For each
// size it times, best of several rounds: `ctags -R -f -` with the tags thrown away (the anchor), a
// cold `kolvex index --no-scip` (fresh data and temporary directories), a
// reindex with nothing changed, another one (the first reindex after a cold run
// also puts the rows of unchanged files into the order a reindex carries them in;
// the second finds them there) and a reindex after one changed file. It prints
// the times, their ratios against the goals, the CPU use of each kolvex run
// ((user+sys)/wall) and its peak memory, both from wait4's resource usage of
// the kolvex child (which includes the tools it waited for).
//
// It also indexes single hostile files, each in a repository of its own: 40,000
// nested functions (560 KB) and as many as fit the 1 MiB capture limit, against
// the anchor of a file of the same size holding as many functions side by side,
// and prints each run's time, peak memory and snapshot size per source byte.
//
//   bench_index [--rounds N] [--kolvex PATH] [--hostile-only]
//
// Without a zoekt-git-index on PATH a stand-in that does nothing is put first
// on the runs' PATH, so that the runs measure kolvex's own work.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fs.h"
#include "core/process.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace kolvex;

constexpr int DEFAULT_ROUNDS = 3;
constexpr std::size_t QUARTER = 4;
constexpr double COLD_GOAL = 1.0;         // cold run / ctags
constexpr double NO_CHANGE_GOAL = 0.10;   // no-change reindex / cold run
constexpr double ONE_CHANGE_GOAL = 0.15;  // one-change reindex / cold run
const char* const SOURCE_TREES[] = {"/usr/include", "/usr/lib/python3.11"};
const char* const SLUG = "bench";
constexpr std::size_t HOSTILE_DEPTH = 40000;
constexpr std::size_t CAPTURE_LIMIT = 1024 * 1024;

// One finished child: wall time and wait4's resource usage.
struct Measured {
  double wall = 0;
  double cpu = 0;            // user + system seconds
  long peak_kib = 0;         // ru_maxrss
  int status = 0;
};

// Variables set over the current environment; a value of nullopt unsets one.
using Environment = std::map<std::string, std::optional<std::string>>;

// Starts argv (searched on PATH) in `cwd` with `env` over the current
// environment, output to `log`, and waits for it with wait4.
Measured spawn_and_wait(const std::vector<std::string>& argv, const fs::path& cwd,
                        const Environment& env, const fs::path& log) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : env) {
    if (value) merged[name] = *value; else merged.erase(name);
  }
  std::vector<std::string> env_texts;
  for (const auto& [name, value] : merged) env_texts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : env_texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> arg_pointers;
  for (std::string& arg : args) arg_pointers.push_back(arg.data());
  arg_pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  // The PATH search uses the child's PATH, so look the program up here.
  std::string program = argv[0];
  if (program.find('/') == std::string::npos) {
    const std::optional<fs::path> found = core::find_program(program, merged["PATH"]);
    if (!found) throw std::runtime_error(program + " not found on PATH");
    program = found->string();
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, arg_pointers.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  Measured measured;
  struct rusage usage {};
  if (wait4(pid, &measured.status, 0, &usage) != pid) throw std::runtime_error("wait4 failed");
  measured.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  measured.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  measured.peak_kib = usage.ru_maxrss;
  return measured;
}

void check(const core::ProcessResult& result, const std::string& what) {
  if (!result.ok()) throw std::runtime_error(what + " failed: " + result.stderr_text());
}

// Every regular file of the source trees (no caches of compiled Python), sorted.
std::vector<fs::path> source_files() {
  std::vector<fs::path> files;
  for (const char* root : SOURCE_TREES) {
    if (!fs::is_directory(root)) continue;
    for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator(); ++it) {
      if (it->is_directory() && it->path().filename() == "__pycache__") {
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_regular_file() && !it->is_symlink()) files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// `git commit -q` in `repo` under the bench's own identity, `args` after it.
void git_commit(const fs::path& repo, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"git", "-c", "user.name=bench", "-c", "user.email=bench@example.invalid", "commit",
                                   "-q"};
  argv.insert(argv.end(), args.begin(), args.end());
  check(core::run_process(argv, {.cwd = repo}), "git commit");
}

// Makes the directory `repo` a git repository with everything in it committed.
void commit_new_repository(const fs::path& repo, const std::string& message) {
  const core::ProcessOptions in_repo{.cwd = repo};
  check(core::run_process({"git", "init", "-q"}, in_repo), "git init");
  check(core::run_process({"git", "add", "-A"}, in_repo), "git add");
  git_commit(repo, {"-m", message});
}

// A git repository at `repo` holding every `step`-th file, committed.
std::size_t make_repository(const fs::path& repo, const std::vector<fs::path>& files, std::size_t step) {
  std::size_t count = 0;
  std::uintmax_t bytes = 0;
  for (std::size_t i = 0; i < files.size(); i += step) {
    const fs::path target = repo / files[i].relative_path();
    fs::create_directories(target.parent_path());
    fs::copy_file(files[i], target, fs::copy_options::overwrite_existing);
    bytes += fs::file_size(target);
    ++count;
  }
  commit_new_repository(repo, "sources");
  std::printf("  %zu files, %.1f MiB\n", count, static_cast<double>(bytes) / (1024.0 * 1024.0));
  return count;
}

// The best (least wall time) of several measurements.
struct Best {
  std::optional<Measured> value;
  void offer(const Measured& m) {
    if (!value || m.wall < value->wall) value = m;
  }
};

// The environment of a kolvex run: data and temporary directories of its own,
// `path_value` as PATH, and none of the caller's settings that would load a
// model, add a note to the output or load grammars from elsewhere.
Environment run_environment(const fs::path& data, const fs::path& tmp, const std::string& path_value) {
  return {{"XDG_DATA_HOME", data.string()},
          {"TMPDIR", tmp.string()},
          {"PATH", path_value},
          {"KOLVEX_EMBEDDING_MODEL", std::nullopt},
          {"KOLVEX_FALLBACK_SEARCH_ONLY", std::nullopt},
          {"KOLVEX_GRAMMAR_DIR", std::nullopt}};
}

// `m` when its program exited with 0; otherwise throws, quoting the run's log.
Measured must_succeed(const Measured& m, const std::string& what, const fs::path& log) {
  if (!WIFEXITED(m.status) || WEXITSTATUS(m.status) != 0) {
    throw std::runtime_error(what + " failed:\n" + core::read_file(log));
  }
  return m;
}

void print_run(const char* label, const Measured& m, const char* ratio_text = "") {
  std::printf("  %-24s %8.2f s   cpu %5.2f   peak %7.1f MiB%s\n", label, m.wall, m.cpu / m.wall,
              static_cast<double>(m.peak_kib) / 1024.0, ratio_text);
}

std::string ratio_line(double ratio, const char* of, double goal) {
  char text[128];
  std::snprintf(text, sizeof text, "   %.3f x %s (goal <= %.2f: %s)", ratio, of, goal, ratio <= goal ? "met" : "MISSED");
  return text;
}

void run_size(const char* name, const fs::path& scratch, const std::vector<fs::path>& files, std::size_t step,
              int rounds, const fs::path& kolvex, const std::optional<fs::path>& ctags, const std::string& path_value) {
  std::printf("\n%s tree:\n", name);
  const fs::path repo = scratch / name / "repo";
  fs::create_directories(repo);
  make_repository(repo, files, step);
  const fs::path log = scratch / name / "last-run.log";
  const auto succeeded = [&](const Measured& m, const std::string& what) { return must_succeed(m, what, log); };

  // The file to change: the first tracked one (a C header of /usr/include).
  const core::ProcessResult listed = core::run_process({"git", "ls-files"}, {.cwd = repo});
  check(listed, "git ls-files");
  std::string changed = listed.stdout_text().substr(0, listed.stdout_text().find('\n'));

  Best ctags_best, cold_best, no_change_best, no_change_again_best, one_change_best;
  for (int round = 0; round < rounds; ++round) {
    if (ctags) {
      // Tags to standard output, thrown away: "-f /dev/null" fails when ctags truncates its tag file.
      ctags_best.offer(succeeded(spawn_and_wait({ctags->string(), "-R", "-f", "-"}, repo, {}, "/dev/null"), "ctags"));
    }
    const fs::path data = scratch / name / ("data-" + std::to_string(round));
    const fs::path tmp = scratch / name / ("tmp-" + std::to_string(round));
    fs::create_directories(data);
    fs::create_directories(tmp);
    const Environment env = run_environment(data, tmp, path_value);
    cold_best.offer(succeeded(
        spawn_and_wait({kolvex.string(), "index", "--no-scip", "--slug", SLUG, repo.string()}, repo, env, log),
        "cold index"));
    no_change_best.offer(
        succeeded(spawn_and_wait({kolvex.string(), "reindex", "--no-scip", SLUG}, repo, env, log), "reindex"));
    no_change_again_best.offer(
        succeeded(spawn_and_wait({kolvex.string(), "reindex", "--no-scip", SLUG}, repo, env, log), "reindex"));
    core::write_file(repo / changed, core::read_file(repo / changed) + "\n/* bench change " + std::to_string(round) + " */\n");
    git_commit(repo, {"-am", "change"});
    one_change_best.offer(
        succeeded(spawn_and_wait({kolvex.string(), "reindex", "--no-scip", SLUG}, repo, env, log), "reindex"));
    fs::remove_all(data);
    fs::remove_all(tmp);
  }

  const Measured cold = *cold_best.value;
  if (ctags_best.value) {
    print_run("ctags -R", *ctags_best.value);
    print_run("kolvex cold", cold, ratio_line(cold.wall / ctags_best.value->wall, "ctags", COLD_GOAL).c_str());
  } else {
    print_run("kolvex cold", cold, "   (no ctags anchor)");
  }
  print_run("reindex, no change", *no_change_best.value,
            ratio_line(no_change_best.value->wall / cold.wall, "cold", NO_CHANGE_GOAL).c_str());
  print_run("reindex, no change again", *no_change_again_best.value,
            ratio_line(no_change_again_best.value->wall / cold.wall, "cold", NO_CHANGE_GOAL).c_str());
  print_run("reindex, one change", *one_change_best.value,
            ratio_line(one_change_best.value->wall / cold.wall, "cold", ONE_CHANGE_GOAL).c_str());
}

// `count` JavaScript functions, nested or side by side, padded with newlines to
// `size` bytes when given.
std::string js_functions(std::size_t count, bool nested, std::size_t size = 0) {
  std::string source;
  for (std::size_t i = 0; i < count; ++i) source += nested ? "function f(){" : "function f(){}";
  if (nested) source.append(count, '}');
  if (source.size() < size) source.append(size - source.size(), '\n');
  return source;
}

// One cold `kolvex index --no-scip` of a repository holding only `source`,
// best of `rounds`; prints time, peak memory and snapshot bytes per source byte.
Measured index_one_file(const char* label, const std::string& source, const fs::path& scratch, int rounds,
                        const fs::path& kolvex, const std::string& path_value) {
  const fs::path repo = scratch / label / "repo";
  fs::create_directories(repo);
  core::write_file(repo / "file.js", source);
  commit_new_repository(repo, "source");
  const fs::path log = scratch / label / "last-run.log";
  Best best;
  std::uintmax_t snapshot_bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    const fs::path data = scratch / label / "data";
    const fs::path tmp = scratch / label / "tmp";
    fs::create_directories(data);
    fs::create_directories(tmp);
    const Environment env = run_environment(data, tmp, path_value);
    best.offer(must_succeed(
        spawn_and_wait({kolvex.string(), "index", "--no-scip", "--slug", SLUG, repo.string()}, repo, env, log),
        std::string(label) + " index", log));
    snapshot_bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
      if (entry.is_regular_file() && entry.path().extension() == ".db" &&
          entry.path().filename().string().starts_with("index-")) {
        snapshot_bytes = entry.file_size();
      }
    }
    fs::remove_all(data);
    fs::remove_all(tmp);
  }
  char ratio[96];
  std::snprintf(ratio, sizeof ratio, "   snapshot %.2f bytes per source byte (%zu bytes of source)",
                static_cast<double>(snapshot_bytes) / static_cast<double>(source.size()), source.size());
  print_run(label, *best.value, ratio);
  return *best.value;
}

void run_hostile(const fs::path& scratch, int rounds, const fs::path& kolvex, const std::string& path_value) {
  std::printf("\nhostile files (one per repository):\n");
  const Measured flat =
      index_one_file("40k side by side", js_functions(HOSTILE_DEPTH, false), scratch, rounds, kolvex, path_value);
  const Measured deep =
      index_one_file("40k nested", js_functions(HOSTILE_DEPTH, true), scratch, rounds, kolvex, path_value);
  std::printf("  %-24s %8.3f x time, %.3f x peak of the side-by-side file\n", "40k nested", deep.wall / flat.wall,
              static_cast<double>(deep.peak_kib) / static_cast<double>(flat.peak_kib));
  const std::size_t fit = CAPTURE_LIMIT / 14;
  const Measured flat_limit = index_one_file("1 MiB side by side", js_functions(fit, false, CAPTURE_LIMIT), scratch,
                                             rounds, kolvex, path_value);
  const Measured deep_limit = index_one_file("1 MiB nested", js_functions(fit, true, CAPTURE_LIMIT), scratch,
                                             rounds, kolvex, path_value);
  std::printf("  %-24s %8.3f x time, %.3f x peak of the side-by-side file\n", "1 MiB nested",
              deep_limit.wall / flat_limit.wall,
              static_cast<double>(deep_limit.peak_kib) / static_cast<double>(flat_limit.peak_kib));
}

int run(int rounds, const fs::path& kolvex, bool hostile_only) {
  if (!fs::exists(kolvex)) throw std::runtime_error("no kolvex program at " + kolvex.string());
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-bench-index-");
  const char* inherited = std::getenv("PATH");
  std::string path_value = inherited ? inherited : "/usr/bin:/bin";
  if (!core::find_program("zoekt-git-index")) {
    const fs::path bin = scratch.path() / "bin";
    fs::create_directories(bin);
    core::write_file(bin / "zoekt-git-index", "#!/bin/sh\nexit 0\n");
    fs::permissions(bin / "zoekt-git-index", fs::perms::owner_all);
    path_value = bin.string() + ":" + path_value;
    std::printf("zoekt-git-index not found: a stand-in that does nothing is used\n");
  }
  run_hostile(scratch.path(), rounds, kolvex, path_value);
  if (hostile_only) return 0;

  std::optional<fs::path> ctags = core::find_program("ctags");
  if (!ctags) std::printf("ctags not found: the ctags anchor is skipped\n");

  const std::vector<fs::path> files = source_files();
  if (files.empty()) throw std::runtime_error("none of the source trees exists");
  std::printf("kolvex: %s\nbest of %d rounds; goals: cold <= %.1f x ctags, no change <= %.2f x cold, "
              "one change <= %.2f x cold, peak memory independent of tree size\n",
              kolvex.c_str(), rounds, COLD_GOAL, NO_CHANGE_GOAL, ONE_CHANGE_GOAL);
  run_size("quarter", scratch.path(), files, QUARTER, rounds, kolvex, ctags, path_value);
  run_size("whole", scratch.path(), files, 1, rounds, kolvex, ctags, path_value);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = DEFAULT_ROUNDS;
  fs::path kolvex = KOLVEX_BINARY;
  bool hostile_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (arg == "--kolvex" && i + 1 < argc) {
      kolvex = argv[++i];
    } else if (arg == "--hostile-only") {
      hostile_only = true;
    } else {
      rounds = 0;
      break;
    }
  }
  if (rounds < 1) {
    std::fprintf(stderr, "usage: %s [--rounds N] [--kolvex PATH] [--hostile-only]\n", argv[0]);
    return 2;
  }
  try {
    return run(rounds, kolvex, hostile_only);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
}
