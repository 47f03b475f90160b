// Name search of a published syntax snapshot: find_syntax_symbols on a snapshot
// of DECLARATIONS declarations, the first call on a file (its name map is built)
// against later calls (the map is kept), and against a connection that is not a
// published one (the map is built on every call). Prints the times and ratios.
//
//   bench_lookups [--rounds N]
//
// Goal: a warm search under WARM_GOAL_MS milliseconds.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "bench/timing.h"
#include "core/fs.h"
#include "core/sqlite.h"
#include "declstore/lookups.h"
#include "declstore/schema.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

namespace fs = std::filesystem;
using namespace kolvex;

constexpr int DECLARATIONS = 185'000;
constexpr int DECLARATIONS_PER_FILE = 50;
constexpr int METHODS_PER_CLASS = 9;
// Every COVERED_EVERY-th file has SCIP definitions (left out of the default search).
constexpr int COVERED_EVERY = 4;
constexpr double WARM_GOAL_MS = 5.0;
constexpr int DEFAULT_ROUNDS = 5;
constexpr int WARM_CALLS = 20;

// A snapshot of DECLARATIONS declarations: per file, classes of one TYPE and
// METHODS_PER_CLASS METHODs, named "pkg<f>.Class<c>" and "pkg<f>.Class<c>.method<m>".
void write_snapshot(const fs::path& path) {
  core::Connection conn = core::Connection::open(path);
  conn.exec("PRAGMA synchronous = OFF");
  conn.exec(declstore::SYNTAX_SCHEMA);
  core::Transaction transaction(conn);
  core::Statement file = conn.prepare(
      "INSERT INTO syntax_files (file_path, language, file_hash, parser_identity, in_scope, state, reason, "
      "scip_outline, scip_definition) VALUES (?, 'python', ?, ?, 1, 'parsed', NULL, 0, ?)");
  core::Statement symbol = conn.prepare("INSERT INTO syntax_symbols (" + std::string(declstore::SYNTAX_SYMBOL_COLUMNS) +
                                        ") VALUES (?, ?, ?, ?, ?, ?, 0, 10, 1, 0, 2, 0, 4, 8, 1, 4, 1, 8)");
  const int files = DECLARATIONS / DECLARATIONS_PER_FILE;
  for (int f = 0; f < files; ++f) {
    const std::string file_path = "src/pkg" + std::to_string(f) + "/module.py";
    file.bind(1, file_path).bind(2, std::string(64, 'a')).bind(3, std::string(64, 'b'));
    file.bind(4, f % COVERED_EVERY == 0 ? 1 : 0);
    file.run();
    file.reset();
    std::string parent;
    for (int d = 0; d < DECLARATIONS_PER_FILE; ++d) {
      const int c = d / (METHODS_PER_CLASS + 1);
      const int m = d % (METHODS_PER_CLASS + 1);
      const std::string owner = "pkg" + std::to_string(f) + ".Class" + std::to_string(c);
      const std::string name = m == 0 ? "Class" + std::to_string(c) : "method" + std::to_string(m);
      const std::string qualified = m == 0 ? owner : owner + "." + name;
      const std::string id = "syntax:" + std::to_string(f) + ":" + std::to_string(d);
      symbol.bind(1, id).bind(2, file_path).bind(3, name).bind(4, qualified);
      symbol.bind(5, m == 0 ? "TYPE" : "METHOD");
      if (m == 0) {
        symbol.bind_null(6);
        parent = id;
      } else {
        symbol.bind(6, parent);
      }
      symbol.run();
      symbol.reset();
    }
  }
  transaction.commit();
  conn.close();
}

int run(int rounds) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-bench-lookups-");
  const fs::path snapshot = scratch.path() / "snapshot.db";
  const double write_time = seconds([&] { write_snapshot(snapshot); });
  std::printf("snapshot: %d declarations in %d files (written in %.2f s)\n", DECLARATIONS,
              DECLARATIONS / DECLARATIONS_PER_FILE, write_time);

  struct Query {
    const char* text;
    const char* what;
  };
  const Query queries[] = {{"pkg1234.Class3.method7", "one dotted name"}, {"Class2", "a name of many declarations"}};
  constexpr core::OpenOptions PUBLISHED = {.read_only = true, .immutable = true};

  std::printf("best of %d rounds\n", rounds);
  for (const Query& query : queries) {
    std::size_t hits = 0;
    // Not published: the map is built on every call, as for a database being built.
    core::Connection plain = core::Connection::open(snapshot, {.read_only = true});
    const double uncached = best_seconds(rounds, [&] { hits = declstore::find_syntax_symbols(plain, query.text).size(); });
    // Cold: the first call on a published file the process has not searched
    // (a fresh copy per round, so the cache does not know it).
    int copy = 0;
    double cold = 0;
    for (int round = 0; round < rounds; ++round) {
      const fs::path fresh = scratch.path() / ("copy-" + std::to_string(copy++) + ".db");
      fs::copy_file(snapshot, fresh);
      core::Connection conn = core::Connection::open(fresh, PUBLISHED);
      const double elapsed = seconds([&] { declstore::find_syntax_symbols(conn, query.text); });
      if (round == 0 || elapsed < cold) cold = elapsed;
      conn.close();
      fs::remove(fresh);
    }
    // Warm: later calls on a published file, a new connection as the query side may open.
    core::Connection published = core::Connection::open(snapshot, PUBLISHED);
    declstore::find_syntax_symbols(published, query.text);
    const double warm = best_seconds(rounds * WARM_CALLS, [&] { declstore::find_syntax_symbols(published, query.text); });
    std::printf("\nquery %s (%s): %zu hits\n", query.text, query.what, hits);
    std::printf("  not published: %8.2f ms\n", uncached * 1e3);
    std::printf("  cold:          %8.2f ms\n", cold * 1e3);
    std::printf("  warm:          %8.2f ms  (warm/cold %.4f; goal < %.1f ms: %s)\n", warm * 1e3, warm / cold,
                WARM_GOAL_MS, warm * 1e3 < WARM_GOAL_MS ? "met" : "MISSED");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = DEFAULT_ROUNDS;
  if (argc == 3 && std::string(argv[1]) == "--rounds") {
    rounds = std::atoi(argv[2]);
  } else if (argc != 1) {
    rounds = 0;
  }
  if (rounds < 1) {
    std::fprintf(stderr, "usage: %s [--rounds N]\n", argv[0]);
    return 2;
  }
  try {
    return run(rounds);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
}
