// Vector table search: nearest-neighbour search of the semantic store over a
// table of 100,000 rows of 1,024-dimensional unit vectors (the size of a large
// repository's table under the default model), against a plain in-memory scan of
// the same vectors (the cost of the distance arithmetic alone). Also prints the
// time to write the table and to read its identity.
//
//   bench_vector_search [--rows N] [--dimensions D] [--rounds R]
//
// The table is written to a scratch directory under $TMPDIR (about 450 MB at the
// default size) and removed at the end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/timing.h"
#include "core/fs.h"
#include "semantic/store.h"

using kolvex::bench::best_seconds;
using kolvex::bench::seconds;

namespace {

using namespace kolvex;

constexpr std::size_t DEFAULT_ROWS = 100000;
constexpr std::size_t DEFAULT_DIMENSIONS = 1024;
constexpr int DEFAULT_ROUNDS = 5;
constexpr std::int64_t TOP_K = 30;  // what hybrid search asks for
constexpr std::size_t CONTENT_CHARS = 1200;

semantic::Vector random_unit(std::mt19937& random, std::size_t dimensions) {
  std::normal_distribution<float> normal;
  semantic::Vector vector(dimensions);
  double norm = 0;
  for (float& x : vector) {
    x = normal(random);
    norm += static_cast<double>(x) * x;
  }
  for (float& x : vector) x = static_cast<float>(x / std::sqrt(norm));
  return vector;
}

// The top-k row indexes of a plain scan: the baseline.
std::vector<std::size_t> scan(const std::vector<float>& matrix, std::size_t dimensions, const semantic::Vector& query) {
  const std::size_t rows = matrix.size() / dimensions;
  std::vector<std::pair<double, std::size_t>> scored(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    const float* v = matrix.data() + r * dimensions;
    double dot = 0;
    for (std::size_t d = 0; d < dimensions; ++d) dot += static_cast<double>(query[d]) * v[d];
    scored[r] = {1.0 - dot, r};
  }
  const std::size_t k = std::min<std::size_t>(TOP_K, rows);
  std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k), scored.end());
  std::vector<std::size_t> top;
  for (std::size_t i = 0; i < k; ++i) top.push_back(scored[i].second);
  return top;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = DEFAULT_ROWS;
  std::size_t dimensions = DEFAULT_DIMENSIONS;
  int rounds = DEFAULT_ROUNDS;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view option = argv[i];
    if (option == "--rows") {
      rows = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (option == "--dimensions") {
      dimensions = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (option == "--rounds") {
      rounds = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr, "usage: bench_vector_search [--rows N] [--dimensions D] [--rounds R]\n");
      return 2;
    }
  }
  try {
    std::mt19937 random(20261210);
    std::vector<semantic::Row> table_rows;
    std::vector<float> matrix;
    table_rows.reserve(rows);
    matrix.reserve(rows * dimensions);
    const std::string content(CONTENT_CHARS, 'x');
    for (std::size_t r = 0; r < rows; ++r) {
      semantic::Vector vector = random_unit(random, dimensions);
      matrix.insert(matrix.end(), vector.begin(), vector.end());
      std::string n = std::to_string(r);
      table_rows.push_back(semantic::make_row(semantic::RowFields{
          std::string(32 - n.size(), '0') + n, std::string(64 - n.size(), 'c') + n, std::string(64, 'f'),
          "src/file" + std::to_string(r / 20) + ".py", static_cast<std::int64_t>(r % 20) * 30 + 1,
          static_cast<std::int64_t>(r % 20) * 30 + 30, "symbol" + n, "python", content, std::move(vector),
          "BAAI/bge-m3", "5617a9f61b028005a4858fdac845db406aefb181", "", "", 2}));
    }
    const semantic::Vector query = random_unit(random, dimensions);

    core::ScratchDir scratch = core::ScratchDir::create("bench-vector-search-");
    semantic::SemanticStore store(scratch.path() / "lancedb");
    const double write = best_seconds(1, [&] { store.overwrite("bench", table_rows); });
    table_rows.clear();
    table_rows.shrink_to_fit();

    std::vector<std::size_t> expected;
    const double baseline = best_seconds(rounds, [&] { expected = scan(matrix, dimensions, query); });
    std::vector<semantic::Row> found;
    const double search = best_seconds(rounds, [&] {
      semantic::SemanticStore fresh(scratch.path() / "lancedb");  // one store per search, as hybrid search does
      found = fresh.search("bench", query, TOP_K);
    });
    const double identity = best_seconds(rounds, [&] {
      semantic::SemanticStore fresh(scratch.path() / "lancedb");
      (void)fresh.table_identity("bench");
    });

    // The store must find what the plain scan finds.
    bool same = found.size() == expected.size();
    for (std::size_t i = 0; same && i < found.size(); ++i) {
      std::string n = std::to_string(expected[i]);
      same = semantic::text_column(found[i], "chunk_id") == std::string(32 - n.size(), '0') + n;
    }

    std::printf("rows %zu, dimensions %zu, best of %d rounds\n", rows, dimensions, rounds);
    std::printf("write table          %8.3f s\n", write);
    std::printf("table_identity       %8.3f ms\n", identity * 1e3);
    std::printf("baseline (in memory) %8.3f ms\n", baseline * 1e3);
    std::printf("store search top %lld %8.3f ms   ratio to baseline %.2f\n", static_cast<long long>(TOP_K),
                search * 1e3, search / baseline);
    std::printf("same top %lld as the baseline: %s\n", static_cast<long long>(TOP_K), same ? "yes" : "NO");
    return same ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_vector_search: %s\n", error.what());
    return 1;
  }
}
