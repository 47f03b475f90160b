// Extraction cost over the raw parse, per language: over the files of a corpus,
// measures the pool's raw parse and extract_file (parse + declaration walk +
// records) in the same run, best of several rounds (processor time of the
// measuring thread), and prints one row per
// language with files, bytes, both times and their ratio. It also checks that no
// two declarations of one file share an id, and prints a digest of every
// declaration (ids, names, kinds, parents, spans) so that two builds can be
// compared for identical results.
//
//   bench_extract [--rounds N]                          every language, its default corpus
//   bench_extract [--rounds N] --language L DIR...      one language, the given directories
//   bench_extract --dump [--language L DIR...]          print every declaration, no timing
//   bench_extract --bounds [--language L DIR...]        headroom of real sources below the
//                                                       per-file bounds of the walk, no timing
//
// Default corpora are real sources installed on the machine (the Python
// library, the system headers, the sources shipped in third_party/node_modules,
// the PostgreSQL extension scripts, ...). Ruby, Rust, Kotlin, Swift and Scala
// have none here: they use bench/corpus/<language>, the sources of the rule
// tests' cases gathered into files.
//
// Goal: the walk and the records add at most 25% to the raw parse time.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "core/hash.h"
#include "core/text.h"
#include "syntax/syntax.h"
#include "syntax/walk.h"

using kolvex::bench::seconds;

namespace {

// The processor time of the calling thread: on a machine shared with other
// work, time spent waiting for a processor would otherwise land on whichever
// measurement it happened to interrupt.
template <typename Body>
double thread_seconds(Body&& body) {
  timespec start{};
  timespec end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  body();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

}  // namespace

namespace {

constexpr double OVERHEAD_GOAL = 0.25;
constexpr int DEFAULT_ROUNDS = 7;
// A corpus is cut after this many bytes (files in sorted path order).
constexpr std::size_t MAX_CORPUS_BYTES = 3'000'000;
// Bundled or generated files this large say little about ordinary sources.
constexpr std::uintmax_t MAX_FILE_BYTES = 1'000'000;
// Each round parses the corpus as often as needed to last at least this long.
constexpr double MIN_ROUND_SECONDS = 0.3;

// The source tree: this file's directory's parent. A relative __FILE__ is
// relative to the build directory, two levels above this program.
std::filesystem::path source_dir() {
  const std::filesystem::path file(__FILE__);
  if (file.is_absolute()) return file.parent_path().parent_path();
  std::error_code error;
  const std::filesystem::path program = std::filesystem::canonical("/proc/self/exe", error);
  return (program.parent_path().parent_path() / file).lexically_normal().parent_path().parent_path();
}

struct CorpusRow {
  const char* language;
  std::vector<std::filesystem::path> roots;
};

// Real sources first; the rule tests' cases only where the machine has none.
std::vector<CorpusRow> default_corpora() {
  const std::filesystem::path source = source_dir();
  const std::filesystem::path modules = source / "third_party/node_modules";
  const std::filesystem::path fixtures = source / "bench/corpus";
  return {
      {"python", {"/usr/lib/python3.11"}},
      {"javascript", {modules}},
      {"typescript", {modules}},
      {"tsx", {modules / "@sourcegraph/scip-typescript/snapshots/input"}},
      {"java", {"/usr/share/doc/protobuf-compiler/examples"}},
      {"kotlin", {fixtures / "kotlin"}},
      {"swift", {fixtures / "swift"}},
      {"go", {"/usr/share/doc/git/contrib", "/usr/share/doc/protobuf-compiler/examples"}},
      {"ruby", {fixtures / "ruby"}},
      {"rust", {fixtures / "rust"}},
      {"c", {"/usr/include"}},
      {"cpp", {"/usr/src/googletest", "/usr/include/nlohmann", "/usr/include/c++"}},
      {"csharp", {modules, "/usr/lib/node_modules"}},
      {"php", {"/usr/lib/google-cloud-sdk/platform/google_appengine/php"}},
      {"scala", {fixtures / "scala"}},
      {"bash", {"/usr/lib/perf-core/tests", "/usr/share/postgresql-common", modules}},
      {"sql", {"/usr/share/postgresql"}},
  };
}

struct SourceFile {
  std::string path;
  std::string bytes;
};

std::vector<SourceFile> read_files(const std::vector<std::filesystem::path>& roots,
                                   std::string_view language) {
  // Paths as a repository would name them: relative to their root, so that the
  // ids (and the digest) do not depend on where the corpus lives.
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> paths;
  for (const auto& root : roots) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
      if (kolvex::syntax::language_for_path(it->path().string()) != language) continue;
      if (it->file_size(error) > MAX_FILE_BYTES) continue;
      paths.emplace_back(it->path().lexically_relative(root), it->path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::vector<SourceFile> files;
  std::size_t total = 0;
  for (const auto& [name, path] : paths) {
    if (total >= MAX_CORPUS_BYTES) break;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Both measurements must parse the same files: extract_file does not
    // parse a file that is not UTF-8.
    if (bytes.empty() || !kolvex::core::is_valid_utf8(bytes)) continue;
    total += bytes.size();
    files.push_back(SourceFile{name.string(), std::move(bytes)});
  }
  return files;
}

struct Measurement {
  std::string language;
  std::size_t files = 0;
  std::size_t bytes = 0;
  std::size_t declarations = 0;
  std::size_t duplicate_ids = 0;
  int passes = 0;
  double parse_seconds = 0;
  double extract_seconds = 0;
  std::string digest;

  double overhead() const { return extract_seconds / parse_seconds - 1; }
};

Measurement measure(const std::string& language, const std::vector<SourceFile>& files,
                    int rounds) {
  Measurement result;
  result.language = language;
  result.files = files.size();
  for (const auto& file : files) result.bytes += file.bytes.size();

  kolvex::syntax::ParserPool pool;
  pool.parse(language, "");  // build the parser outside the measurements

  std::size_t nodes_seen = 0;
  auto parse_pass = [&] {
    for (const auto& file : files) {
      kolvex::syntax::ParseTree tree = pool.parse(language, file.bytes);
      nodes_seen += ts_node_child_count(tree.root_node());
    }
  };
  auto extract_pass = [&] {
    for (const auto& file : files) {
      result.declarations +=
          kolvex::syntax::extract_file(file.path, file.bytes, language, pool).symbols.size();
    }
  };
  // Small corpora are parsed several times per round so that a round lasts long
  // enough to time.
  parse_pass();  // warm: grammar tables, allocator, caches
  extract_pass();
  const double once = seconds(parse_pass);
  result.passes = std::max(1, static_cast<int>(MIN_ROUND_SECONDS / std::max(once, 1e-6)) + 1);

  // Rounds alternate the two measurements so that drift on a busy machine hits
  // both alike; the best round of each counts.
  for (int round = 0; round < rounds; ++round) {
    const double parse = thread_seconds([&] {
      for (int pass = 0; pass < result.passes; ++pass) parse_pass();
    });
    result.declarations = 0;
    const double extract = thread_seconds([&] {
      for (int pass = 0; pass < result.passes; ++pass) extract_pass();
    });
    if (round == 0 || parse < result.parse_seconds) result.parse_seconds = parse;
    if (round == 0 || extract < result.extract_seconds) result.extract_seconds = extract;
  }
  result.declarations /= static_cast<std::size_t>(result.passes);

  // Outside the measurements: ids unique within each file, and the digest.
  kolvex::core::Sha256 digest;
  for (const auto& file : files) {
    std::set<std::string> ids;
    const auto parsed = kolvex::syntax::extract_file(file.path, file.bytes, language, pool);
    for (const auto& symbol : parsed.symbols) {
      if (!ids.insert(symbol.symbol).second) ++result.duplicate_ids;
      const auto& d = symbol.declaration;
      const auto& s = symbol.selection;
      digest.update(symbol.symbol + '\n' + symbol.file_path + '\n' + symbol.name + '\n' +
                    symbol.qualified_name + '\n' +
                    std::string(kolvex::platform::kind_text(symbol.kind)) + '\n' +
                    symbol.parent_symbol.value_or("-") + '\n');
      for (std::int64_t value : {d.start_byte, d.end_byte, d.start_line, d.start_character,
                                 d.end_line, d.end_character, s.start_byte, s.end_byte, s.start_line,
                                 s.start_character, s.end_line, s.end_character}) {
        digest.update(std::to_string(value) + ',');
      }
    }
    digest.update(parsed.state + '\n');
  }
  result.digest = digest.hex_digest().substr(0, 16);
  if (nodes_seen == 0) result.duplicate_ids = SIZE_MAX;  // nothing was parsed: a failure
  return result;
}

// One line per declaration, for comparing the results of two builds.
void dump_declarations(const std::string& language, const std::vector<SourceFile>& files) {
  kolvex::syntax::ParserPool pool;
  for (const auto& file : files) {
    const auto parsed = kolvex::syntax::extract_file(file.path, file.bytes, language, pool);
    std::printf("%s %s %s\n", language.c_str(), file.path.c_str(), parsed.state.c_str());
    for (const auto& symbol : parsed.symbols) {
      const auto& d = symbol.declaration;
      const auto& s = symbol.selection;
      std::printf("  %s %s %s %s parent=%s decl=%lld-%lld %lld:%lld-%lld:%lld sel=%lld-%lld\n",
                  symbol.symbol.c_str(), symbol.name.c_str(), symbol.qualified_name.c_str(),
                  std::string(kolvex::platform::kind_text(symbol.kind)).c_str(),
                  symbol.parent_symbol.value_or("-").c_str(), static_cast<long long>(d.start_byte),
                  static_cast<long long>(d.end_byte), static_cast<long long>(d.start_line),
                  static_cast<long long>(d.start_character), static_cast<long long>(d.end_line),
                  static_cast<long long>(d.end_character), static_cast<long long>(s.start_byte),
                  static_cast<long long>(s.end_byte));
    }
  }
}

// How far real sources stay below the walk's per-file bounds: the deepest
// declaration (enclosing declarations + 1) and the largest share of qualified-name
// bytes per source byte, with the files they were met in, and how many files
// met a bound.
void report_bounds(const std::string& language, const std::vector<SourceFile>& files) {
  kolvex::syntax::ParserPool pool;
  std::size_t deepest = 0;
  std::string deepest_file;
  double densest = 0;
  std::string densest_file;
  std::size_t bounded = 0;
  for (const auto& file : files) {
    const auto parsed = kolvex::syntax::extract_file(file.path, file.bytes, language, pool);
    if (parsed.reason && parsed.reason->find("not stored") != std::string::npos) ++bounded;
    std::map<std::string, std::size_t> depth_of;
    std::size_t name_bytes = 0;
    for (const auto& symbol : parsed.symbols) {
      const std::size_t depth = symbol.parent_symbol ? depth_of[*symbol.parent_symbol] + 1 : 1;
      depth_of[symbol.symbol] = depth;
      if (depth > deepest) {
        deepest = depth;
        deepest_file = file.path;
      }
      name_bytes += symbol.qualified_name.size();
    }
    const double density = static_cast<double>(name_bytes) / static_cast<double>(file.bytes.size());
    if (density > densest) {
      densest = density;
      densest_file = file.path;
    }
  }
  std::printf("%-11s %6zu files  deepest %3zu of %zu (%s)  names %5.2f of %zu bytes per byte (%s)  "
              "bounded files %zu\n",
              language.c_str(), files.size(), deepest, kolvex::syntax::MAX_DECLARATION_DEPTH,
              deepest_file.c_str(), densest, kolvex::syntax::QUALIFIED_NAME_BYTES_PER_SOURCE_BYTE,
              densest_file.c_str(), bounded);
  std::fflush(stdout);
}

void print_header() {
  std::printf("%-11s %6s %10s %7s %10s %10s %7s %9s  %-5s %s\n", "language", "files", "bytes",
              "passes", "parse s", "extract s", "ratio", "overhead", "goal", "digest");
}

void print_row(const Measurement& m) {
  std::printf("%-11s %6zu %10zu %7d %10.3f %10.3f %7.3f %8.1f%%  %-5s %s\n", m.language.c_str(),
              m.files, m.bytes, m.passes, m.parse_seconds, m.extract_seconds,
              m.extract_seconds / m.parse_seconds, m.overhead() * 100,
              m.overhead() <= OVERHEAD_GOAL ? "met" : "NOT", m.digest.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = DEFAULT_ROUNDS;
  bool dump = false;
  bool bounds = false;
  std::string language;
  std::vector<std::filesystem::path> roots;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--dump") {
      dump = true;
    } else if (arg == "--bounds") {
      bounds = true;
    } else if (arg == "--language" && i + 1 < argc) {
      language = argv[++i];
    } else {
      roots.emplace_back(arg);
    }
  }
  if (language.empty() != roots.empty()) {
    std::fprintf(stderr, "usage: bench_extract [--rounds N | --dump | --bounds] [--language L DIR...]\n");
    return 2;
  }
  std::vector<CorpusRow> corpora;
  if (language.empty()) {
    corpora = default_corpora();
  } else {
    corpora.push_back(CorpusRow{language.c_str(), roots});
  }

  std::printf("extract_file over the raw parse, best of %d rounds (goal: overhead at most %.0f%%)\n",
              rounds, OVERHEAD_GOAL * 100);
  print_header();
  bool failed = false;
  int missed = 0;
  for (const CorpusRow& row : corpora) {
    const std::vector<SourceFile> files = read_files(row.roots, row.language);
    if (files.empty()) {
      std::printf("%-11s no files found\n", row.language);
      failed = true;
      continue;
    }
    if (dump) {
      dump_declarations(row.language, files);
      continue;
    }
    if (bounds) {
      report_bounds(row.language, files);
      continue;
    }
    const Measurement m = measure(row.language, files, rounds);
    print_row(m);
    if (m.duplicate_ids != 0) {
      std::printf("%-11s declarations sharing an id within a file, or nothing parsed\n",
                  row.language);
      failed = true;
    }
    if (m.overhead() > OVERHEAD_GOAL) ++missed;
  }
  std::printf("languages over the goal: %d\n", missed);
  return failed ? 1 : 0;
}
