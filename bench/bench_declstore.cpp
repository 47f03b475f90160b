// Source capture and the syntax snapshot build.
//
// Capture and revalidation, each timed with one worker (the anchor) and with one
// per core: prints the times and the speed-ups. Then a cold build of the
// repository's manifest (no previous snapshot) against a rebuild of the same
// manifest with one file changed, reusing the cold build as the previous
// snapshot. Each is timed with one worker (the anchor) and with one per core.
// Prints the times, the speed-up of the cold build on every core, and the ratio
// of rebuild to cold build on every core.
//
//   bench_declstore [--rounds N] [--capture-only] REPO
//
// REPO is any git work tree; a large one shows the reuse best (for example a git
// repository made from a copy of the Python standard library). The repository is
// only read: the changed file is a modified copy in the scratch directory.
//
// Goal: the rebuild costs at most 10% of the cold build.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "bench/timing.h"
#include "core/fs.h"
#include "core/hash.h"
#include "core/ordered_parallel.h"
#include "core/sqlite.h"
#include "declstore/build.h"
#include "declstore/capture.h"
#include "syntax/syntax.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

namespace fs = std::filesystem;
using namespace kolvex;

constexpr double REBUILD_GOAL = 0.10;
constexpr int DEFAULT_ROUNDS = 3;

// The manifest with its first captured file changed: new bytes in a new copy.
declstore::SourceManifest with_one_file_changed(declstore::SourceManifest manifest, const fs::path& scratch,
                                                std::string& changed_path) {
  for (declstore::CapturedFile& file : manifest.files) {
    if (!file.source_path) continue;
    const std::string bytes = declstore::read_captured_bytes(file) + "\n";
    const fs::path copy = scratch / "changed.src";
    core::write_file(copy, bytes);
    file.file_hash = core::sha256_hex(bytes);
    file.source_path = copy;
    file.copy_offset = 0;
    file.copy_size = bytes.size();
    changed_path = file.file_path;
    return manifest;
  }
  throw std::runtime_error("the repository has no captured file to change");
}

// Capture and revalidation, one worker against one per core; returns the manifest.
declstore::SourceManifest bench_capture(const fs::path& repo, const fs::path& scratch, int rounds) {
  const unsigned cores = core::default_worker_count();
  declstore::SourceManifest manifest;
  auto capture = [&](unsigned workers) {
    return best_seconds(rounds, [&] {
      manifest = declstore::capture_sources(repo, scratch / "copies", {.workers = workers});
    });
  };
  auto validate = [&](unsigned workers) {
    return best_seconds(rounds, [&] { declstore::validate_sources(repo, manifest, workers); });
  };
  const double capture_one = capture(1);
  const double capture_all = capture(cores);
  const double validate_one = validate(1);
  const double validate_all = validate(cores);
  // As a reindex of an unchanged tree runs them: with what an earlier capture
  // saw of each file, whose hash stands for a file that cannot have changed.
  declstore::CaptureRecords earlier;
  declstore::capture_sources(repo, scratch / "copies", {.records = &earlier});
  declstore::CaptureRecords seen;
  declstore::SourceManifest unchanged;
  const double known_capture = best_seconds(rounds, [&] {
    unchanged = declstore::capture_sources(repo, scratch / "copies-unchanged", {.records = &seen, .known = &earlier});
  });
  const double known_validate =
      best_seconds(rounds, [&] { declstore::validate_sources(repo, unchanged, cores, &seen); });
  std::size_t captured = 0;
  for (const auto& file : manifest.files) captured += file.source_path ? 1 : 0;
  std::printf("repository: %s\nentries: %zu, captured: %zu; best of %d rounds; %u cores\n", repo.c_str(),
              manifest.files.size(), captured, rounds, cores);
  std::printf("capture:      1 worker %.3f s, %u workers %.3f s, speed-up %.2f\n", capture_one, cores, capture_all,
              capture_one / capture_all);
  std::printf("revalidation: 1 worker %.3f s, %u workers %.3f s, speed-up %.2f\n", validate_one, cores, validate_all,
              validate_one / validate_all);
  std::printf("unchanged, with the records of an earlier capture (%u workers): capture %.3f s, revalidation %.3f s\n",
              cores, known_capture, known_validate);
  return manifest;
}

int run(const fs::path& repo, int rounds, bool capture_only) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-bench-declstore-");
  const declstore::SourceManifest manifest = bench_capture(repo, scratch.path(), rounds);
  if (capture_only) return 0;

  const unsigned cores = core::default_worker_count();
  const fs::path cold_db = scratch.path() / "cold.db";
  declstore::SyntaxBuildReport cold;
  auto cold_build = [&](unsigned workers) {
    return best_seconds(rounds, [&] {
      syntax::ParserPool pool;
      cold = declstore::build_declstore(cold_db, manifest, pool, declstore::BuildOptions{.workers = workers});
    });
  };
  const double cold_one = cold_build(1);
  const double cold_all = cold_build(cores);

  std::string changed_path;
  const declstore::SourceManifest changed = with_one_file_changed(manifest, scratch.path(), changed_path);
  core::Connection previous = core::Connection::open(cold_db, {.read_only = true});
  declstore::SyntaxBuildReport rebuild;
  auto rebuild_build = [&](unsigned workers) {
    return best_seconds(rounds, [&] {
      syntax::ParserPool pool;
      declstore::BuildOptions options{.previous = &previous, .workers = workers};
      rebuild = declstore::build_declstore(scratch.path() / "rebuild.db", changed, pool, options);
    });
  };
  const double rebuild_one = rebuild_build(1);
  const double rebuild_all = rebuild_build(cores);
  previous.close();

  const double ratio = rebuild_all / cold_all;
  std::printf("best of %d rounds; %u cores\n", rounds, cores);
  std::printf("cold build:   1 worker %.3f s, %u workers %.3f s, speed-up %.2f (parsed %lld, partial %lld, failed %lld)\n",
              cold_one, cores, cold_all, cold_one / cold_all, static_cast<long long>(cold.counts.parsed),
              static_cast<long long>(cold.counts.partial), static_cast<long long>(cold.counts.failed));
  std::printf("rebuild:      1 worker %.3f s, %u workers %.3f s (%lld files reused, changed %s)\n", rebuild_one, cores,
              rebuild_all, static_cast<long long>(rebuild.reused_files), changed_path.c_str());
  std::printf("ratio:        %.3f (goal <= %.2f): %s\n", ratio, REBUILD_GOAL, ratio <= REBUILD_GOAL ? "met" : "MISSED");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = DEFAULT_ROUNDS;
  bool capture_only = false;
  int first = 1;
  while (first < argc) {
    const std::string arg = argv[first];
    if (arg == "--rounds" && first + 1 < argc) {
      rounds = std::atoi(argv[first + 1]);
      first += 2;
    } else if (arg == "--capture-only") {
      capture_only = true;
      ++first;
    } else {
      break;
    }
  }
  if (argc != first + 1 || rounds < 1) {
    std::fprintf(stderr, "usage: %s [--rounds N] [--capture-only] REPO\n", argv[0]);
    return 2;
  }
  try {
    return run(argv[first], rounds, capture_only);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }
}
