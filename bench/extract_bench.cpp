// Extraction throughput: over every file of one language (python unless
// --language says otherwise) under the given directories, measures the pool's raw
// parse and extract_file (parse + walk + records) in the same run, and prints MB/s
// for both and their ratio. It also checks that no two declarations of one file
// share an id.
//
//   bench_extract [--rounds N] [--language L] DIR...   e.g. bench_extract /usr/lib/python3.11
//   bench_extract --language javascript third_party/node_modules/typescript/lib
//
// Goal: the walk and the records add at most 25% to the raw parse time.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "core/text.h"
#include "syntax/syntax.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

constexpr double OVERHEAD_GOAL = 0.25;
constexpr int DEFAULT_ROUNDS = 3;

struct SourceFile {
  std::string path;
  std::string bytes;
};

std::vector<SourceFile> read_files(const std::vector<std::filesystem::path>& roots,
                                   std::string_view language) {
  std::vector<SourceFile> files;
  for (const auto& root : roots) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
      if (kolvex::syntax::language_for_path(it->path().string()) != language) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // Both measurements must parse the same files: extract_file does not
      // parse a file that is not UTF-8.
      if (!kolvex::core::is_valid_utf8(bytes)) continue;
      files.push_back(SourceFile{it->path().string(), std::move(bytes)});
    }
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = DEFAULT_ROUNDS;
  std::string language = "python";
  std::vector<std::filesystem::path> roots;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--language" && i + 1 < argc) {
      language = argv[++i];
    } else {
      roots.emplace_back(arg);
    }
  }
  if (roots.empty()) {
    std::fprintf(stderr, "usage: bench_extract [--rounds N] [--language L] DIR...\n");
    return 2;
  }
  const std::vector<SourceFile> files = read_files(roots, language);
  std::size_t total_bytes = 0;
  for (const auto& file : files) total_bytes += file.bytes.size();
  if (files.empty()) {
    std::fprintf(stderr, "no %s files found\n", language.c_str());
    return 1;
  }

  kolvex::syntax::ParserPool pool;
  pool.parse(language, "");  // build the parser outside the measurements

  // Rounds alternate the two measurements so that drift on a busy machine hits
  // both alike; the best round of each counts.
  std::size_t nodes_seen = 0;
  std::size_t symbols = 0;
  std::size_t duplicate_ids = 0;
  double parse_seconds = 0;
  double extract_seconds = 0;
  for (int round = 0; round < rounds; ++round) {
    const double parse = seconds([&] {
      for (const auto& file : files) {
        kolvex::syntax::ParseTree tree = pool.parse(language, file.bytes);
        nodes_seen += ts_node_child_count(tree.root_node());
      }
    });
    const double extract = seconds([&] {
      symbols = 0;
      for (const auto& file : files) {
        symbols +=
            kolvex::syntax::extract_file(file.path, file.bytes, language, pool).symbols.size();
      }
    });
    if (round == 0 || parse < parse_seconds) parse_seconds = parse;
    if (round == 0 || extract < extract_seconds) extract_seconds = extract;
  }

  // Outside the measurements: declaration ids must be unique within each file.
  for (const auto& file : files) {
    std::set<std::string> ids;
    const auto parsed = kolvex::syntax::extract_file(file.path, file.bytes, language, pool);
    for (const auto& symbol : parsed.symbols) {
      if (!ids.insert(symbol.symbol).second) ++duplicate_ids;
    }
  }

  const double megabytes = static_cast<double>(total_bytes) / 1e6;
  const double ratio = extract_seconds / parse_seconds;
  std::printf("language: %s, files: %zu, bytes: %zu, declarations: %zu, rounds: %d (best of)\n",
              language.c_str(), files.size(), total_bytes, symbols, rounds);
  std::printf("raw parse:    %8.2f MB/s (%.3f s)\n", megabytes / parse_seconds, parse_seconds);
  std::printf("extract_file: %8.2f MB/s (%.3f s)\n", megabytes / extract_seconds, extract_seconds);
  std::printf("extract/parse time ratio: %.3f (overhead %.1f%%, goal at most %.0f%%: %s)\n", ratio,
              (ratio - 1) * 100, OVERHEAD_GOAL * 100, ratio - 1 <= OVERHEAD_GOAL ? "met" : "NOT met");
  std::printf("declarations sharing an id within a file: %zu\n", duplicate_ids);
  return nodes_seen == 0 || duplicate_ids != 0 ? 1 : 0;
}
