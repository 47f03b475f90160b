// The syntax build on many workers: the database and the callback's calls are
// the same as with one, and a failure anywhere stops every worker and commits
// nothing. Built as its own test binary so that it also runs under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/build.h"
#include "declstore/snapshot_test_support.h"
#include "syntax/syntax.h"
#include "syntax/testing.h"
#include "testkit/git_repo.h"

namespace kolvex::declstore {
namespace {

namespace fs = std::filesystem;
using testkit::GitRepo;

// Files of one generated module per language; the number makes names and ids differ.
std::string python_module(int n) {
  return "class Model" + std::to_string(n) + ":\n    def save(self):\n        return " + std::to_string(n) +
         "\n\ndef helper_" + std::to_string(n) + "():\n    pass\n";
}
std::string javascript_module(int n) {
  return "export class Widget" + std::to_string(n) + " {\n  render() { return " + std::to_string(n) +
         "; }\n}\nfunction make" + std::to_string(n) + "() {}\n";
}

// A repository of several languages and every kind of entry, captured twice: the
// first state is built into the previous snapshot, the second changes, adds and
// keeps files, so its build mixes carried-forward and extracted files.
struct Fixture {
  static constexpr int GENERATED = 24;

  GitRepo repo = GitRepo::init();
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-build-parallel-");
  SourceManifest manifest;
  fs::path previous_db;

  Fixture() {
    for (int n = 0; n < GENERATED; ++n) {
      repo.write("py/m" + std::to_string(n) + ".py", python_module(n));
      repo.write("js/w" + std::to_string(n) + ".js", javascript_module(n));
    }
    repo.write("go/main.go", "package main\n\ntype Server struct{}\n\nfunc (s *Server) Run() {}\n");
    repo.write("rs/lib.rs", "pub struct Cache;\nimpl Cache {\n    pub fn get(&self) {}\n}\n");
    repo.write("c/util.c", "int add(int a, int b) { return a + b; }\n");
    repo.write("cpp/box.cpp", "namespace geo {\nclass Box {\n public:\n  int& get();\n};\n}\n");
    repo.write("java/Main.java", "class Main {\n  void run() {}\n}\n");
    repo.write("rb/tool.rb", "module Tools\n  def self.go; end\nend\n");
    repo.write("py/partial.py", "def broken(:\n    pass\n\ndef fine():\n    pass\n");
    repo.write("py/latin1.py", "x = '\xff'\ndef hidden():\n    pass\n");
    repo.write("notes.txt", "notes\n");
    repo.write("huge.py", std::string(MAX_SOURCE_BYTES + 1, '#'));
    repo.write("node_modules/dep.js", "dep();\n");
    repo.symlink("link.py", "py/m0.py");
    repo.commit_all("first");
    {
      SourceManifest first = capture_sources(repo.path(), scratch.path() / "copies-1");
      syntax::ParserPool pool;
      previous_db = scratch.path() / "previous.db";
      build_declstore(previous_db, first, pool, BuildOptions{.workers = 1});
    }

    // Changed, added and a grammar-free change (the text file); the rest is carried.
    for (int n = 0; n < GENERATED; n += 3) repo.write("py/m" + std::to_string(n) + ".py", python_module(n + 100));
    for (int n = 1; n < GENERATED; n += 5) repo.write("js/w" + std::to_string(n) + ".js", javascript_module(n + 100));
    repo.write("go/main.go", "package main\n\nfunc Main() {}\n");
    repo.write("py/added.py", python_module(999));
    repo.write("notes.txt", "more notes\n");
    repo.commit_all("second");
    manifest = capture_sources(repo.path(), scratch.path() / "copies-2");
  }

  fs::path db(const std::string& name) const { return scratch.path() / name; }
};

const std::vector<std::string> PARSE_FOR = {
    "py/m0.py",    "py/m1.py",  "js/w1.js",   "js/w2.js",  "go/main.go",   "rs/lib.rs",     "py/partial.py",
    "py/latin1.py", "notes.txt", "huge.py",   "link.py",   "py/added.py",  "node_modules/dep.js", "nowhere.py"};

// One call of the callback: the entry, its bytes and the whole tree as text.
struct Call {
  std::string path;
  std::string data;
  std::string tree;
  bool operator==(const Call&) const = default;
};

BuildOptions options_with(unsigned workers, core::Connection* previous, std::vector<Call>& calls,
                          std::function<void(const CapturedFile&)> also = {}) {
  BuildOptions options;
  options.workers = workers;
  options.previous = previous;
  options.parse_for = {PARSE_FOR.begin(), PARSE_FOR.end()};
  options.on_parsed = [&calls, also](const CapturedFile& captured, std::string_view data,
                                     const syntax::ParseTree& tree) {
    calls.push_back({captured.file_path, std::string(data), testing::tree_text(tree)});
    if (also) also(captured);
  };
  return options;
}

std::vector<std::string> paths_in_rowid_order(const fs::path& db, const std::string& table) {
  core::Connection conn = core::Connection::open(db, {.read_only = true});
  core::Statement select = conn.prepare("SELECT file_path FROM " + table + " ORDER BY rowid");
  std::vector<std::string> paths;
  while (select.step()) paths.push_back(select.column_text(0));
  return paths;
}

std::int64_t row_count(const fs::path& db) {
  core::Connection conn = core::Connection::open(db, {.read_only = true});
  return *conn.query_int("SELECT (SELECT COUNT(*) FROM syntax_files) + (SELECT COUNT(*) FROM syntax_symbols)");
}

// Threads of this process, from the kernel's own count.
int thread_count() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
  }
  return -1;
}

struct InterruptReset {
  ~InterruptReset() { core::set_interrupted(false); }
};

TEST(BuildParallelTest, ManyWorkersBuildTheSameSnapshotAndCallbacksAsOne) {
  Fixture f;
  core::Connection previous = core::Connection::open(f.previous_db, {.read_only = true});

  for (bool with_previous : {true, false}) {
    SCOPED_TRACE(with_previous ? "with a previous snapshot" : "without");
    core::Connection* prev = with_previous ? &previous : nullptr;
    syntax::ParserPool pool;
    std::vector<Call> one_calls;
    const SyntaxBuildReport one = build_declstore(f.db("one.db"), f.manifest, pool, options_with(1, prev, one_calls));
    const std::vector<std::string> one_rows = testing::build_rows(f.db("one.db"));
    // The fixture really mixes carried and extracted files of every state.
    // 57 candidates: 14 changed and 1 added are extracted, the other 42 carried.
    EXPECT_EQ(one.reused_files, with_previous ? 42 : 0);
    EXPECT_EQ(one.counts, (CoverageCounts{2 * Fixture::GENERATED + 7, 1, 1, 1, 1}));
    ASSERT_EQ(one_calls.size(), 9u);  // parse_for minus the entries never handed over
    // File rows follow the manifest; declaration rows come file by file in that order.
    std::vector<std::string> manifest_paths;
    for (const CapturedFile& file : f.manifest.files) manifest_paths.push_back(file.file_path);
    EXPECT_EQ(paths_in_rowid_order(f.db("one.db"), "syntax_files"), manifest_paths);
    std::vector<std::string> symbol_files = paths_in_rowid_order(f.db("one.db"), "syntax_symbols");
    symbol_files.erase(std::unique(symbol_files.begin(), symbol_files.end()), symbol_files.end());
    std::vector<std::string> in_manifest_order = symbol_files;
    std::stable_sort(in_manifest_order.begin(), in_manifest_order.end(), [&](const auto& a, const auto& b) {
      return std::find(manifest_paths.begin(), manifest_paths.end(), a) <
             std::find(manifest_paths.begin(), manifest_paths.end(), b);
    });
    EXPECT_EQ(symbol_files, in_manifest_order);
    EXPECT_EQ(std::set<std::string>(symbol_files.begin(), symbol_files.end()).size(), symbol_files.size());

    for (unsigned workers : {2u, 3u, 8u}) {
      SCOPED_TRACE("workers " + std::to_string(workers));
      std::vector<Call> calls;
      const std::string name = "many-" + std::to_string(workers) + ".db";
      const SyntaxBuildReport many = build_declstore(f.db(name), f.manifest, pool, options_with(workers, prev, calls));
      EXPECT_EQ(many, one);
      EXPECT_EQ(testing::build_rows(f.db(name)), one_rows);
      EXPECT_EQ(calls, one_calls);
    }
    // The caller's pool parsed only with one worker; the workers had their own.
    EXPECT_TRUE(pool.size() > 0);
  }
}

// True when `error` holds an exception of type E.
template <typename E>
bool holds(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const E&) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(BuildParallelTest, AFailureStopsEveryWorkerAndCommitsNothing) {
  InterruptReset reset_interrupt;
  syntax::testing::Overrides reset_overrides;

  struct Case {
    std::string name;
    std::function<void(Fixture&)> arrange;                 // before the build
    std::function<void(const CapturedFile&)> in_callback;  // after each recorded call
    std::function<bool(const std::exception_ptr&)> expected;
    std::string first_unseen;  // the callback reaches neither this path nor any later one
  };
  const std::vector<Case> cases = {
      {"a copy that cannot be read",  // a changed file: extracted from its copy
       [](Fixture& f) {
         for (CapturedFile& file : f.manifest.files) {  // its slice lies past the end of the pack
           if (file.file_path == "py/m3.py") file.copy_offset = fs::file_size(*file.source_path);
         }
       },
       nullptr, holds<core::OsError>, "py/m3.py"},
      {"a grammar that does not load",  // the changed Go file needs its parser
       [](Fixture& f) { syntax::testing::set_module_path("go", f.db("missing-grammar.so")); }, nullptr,
       holds<syntax::SyntaxDependencyError>, "go/main.go"},
      {"a callback that throws", nullptr,
       [](const CapturedFile& captured) {
         if (captured.file_path == "js/w2.js") throw std::runtime_error("callback failed");
       },
       holds<std::runtime_error>, "js/w20.js"},
      {"an interruption", nullptr,
       [](const CapturedFile& captured) {
         if (captured.file_path == "js/w1.js") core::set_interrupted(true);
       },
       holds<core::Interrupted>, "js/w10.js"},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    core::Connection previous = core::Connection::open(f.previous_db, {.read_only = true});
    if (c.arrange) c.arrange(f);
    auto position = [&](const std::string& path) {
      for (std::size_t i = 0; i < f.manifest.files.size(); ++i) {
        if (f.manifest.files[i].file_path == path) return i;
      }
      ADD_FAILURE() << "not in the manifest: " << path;
      return std::size_t{0};
    };

    const int threads_before = thread_count();
    std::vector<Call> calls;
    syntax::ParserPool pool;
    std::exception_ptr error;
    try {
      build_declstore(f.db("failed.db"), f.manifest, pool, options_with(4, &previous, calls, c.in_callback));
    } catch (...) {
      error = std::current_exception();
    }
    ASSERT_TRUE(error) << "the build succeeded";
    EXPECT_TRUE(c.expected(error)) << core::describe(error);
    EXPECT_EQ(thread_count(), threads_before);
    EXPECT_EQ(row_count(f.db("failed.db")), 0);
    // The callback ran in manifest order and never past the failing entry.
    for (std::size_t i = 1; i < calls.size(); ++i) EXPECT_LT(position(calls[i - 1].path), position(calls[i].path));
    for (const Call& call : calls) EXPECT_LT(position(call.path), position(c.first_unseen)) << call.path;

    syntax::testing::reset();
    core::set_interrupted(false);
  }
}

}  // namespace
}  // namespace kolvex::declstore
