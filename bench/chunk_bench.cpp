// Chunking throughput: over every file of one language (python unless --language
// says otherwise) under the given directories, measures in the same run
//   parse        the pool's raw parse of every file (the baseline),
//   with tree    chunk_file from a tree made beforehand (what an index run does
//                inside the syntax build's callback),
//   shared pool  chunk_file parsing with one pool for all files,
//   own pool     chunk_file without a pool (a parser built for every call),
// and prints MB/s for each and its ratio to the parse.
//
//   bench_chunk [--rounds N] [--language L] DIR...   e.g. bench_chunk /usr/lib/python3.11
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "chunker/admission.h"
#include "chunker/chunk_file.h"
#include "core/text.h"
#include "syntax/parse_tree.h"
#include "syntax/parser_pool.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

constexpr int DEFAULT_ROUNDS = 3;

struct SourceFile {
  std::string rel;
  std::string text;
};

std::vector<SourceFile> read_files(const std::vector<std::filesystem::path>& roots, std::string_view language) {
  std::vector<SourceFile> files;
  for (const auto& root : roots) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
      if (kolvex::chunker::language_for(it->path().string()) != language) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      files.push_back({it->path().lexically_relative(root).generic_string(),
                       kolvex::core::decode_utf8_replace(bytes)});
    }
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kolvex;
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
    std::fprintf(stderr, "usage: bench_chunk [--rounds N] [--language L] DIR...\n");
    return 2;
  }
  const std::vector<SourceFile> files = read_files(roots, language);
  double megabytes = 0;
  for (const SourceFile& file : files) megabytes += static_cast<double>(file.text.size()) / 1e6;
  std::printf("%zu %s files, %.2f MB, best of %d rounds\n", files.size(), language.c_str(), megabytes, rounds);
  if (files.empty()) return 0;

  syntax::ParserPool pool;
  std::vector<syntax::ParseTree> trees;
  std::size_t chunks = 0;
  const double parse = best_seconds(rounds, [&] {
    trees.clear();
    for (const SourceFile& file : files) trees.push_back(pool.parse(language, file.text));
  });
  const double with_tree = best_seconds(rounds, [&] {
    chunks = 0;
    for (std::size_t k = 0; k < files.size(); ++k) {
      chunks += chunker::chunk_file(files[k].rel, files[k].text, "hash", language, {.tree = &trees[k]}).size();
    }
  });
  const double shared_pool = best_seconds(rounds, [&] {
    for (const SourceFile& file : files) chunker::chunk_file(file.rel, file.text, "hash", language, {.pool = &pool});
  });
  const double own_pool = best_seconds(rounds, [&] {
    for (const SourceFile& file : files) chunker::chunk_file(file.rel, file.text, "hash", language);
  });

  std::printf("%zu chunks\n", chunks);
  auto report = [&](const char* name, double secs) {
    std::printf("%-12s %8.2f MB/s  %6.3f s  ratio to parse %.2f\n", name, megabytes / secs, secs, secs / parse);
  };
  report("parse", parse);
  report("with tree", with_tree);
  report("shared pool", shared_pool);
  report("own pool", own_pool);
  return 0;
}
