#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "core/fs.h"
#include "embeddings/model.h"
#include "embeddings/testing.h"
#include "embeddings/tiny_model.h"
#include "testkit/fake_program.h"

namespace kolvex::embeddings {
namespace {

constexpr int THREADS = 8;

// Starts every thread, then lets them all run `body` at once.
template <typename Body>
void race(Body body) {
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < THREADS) std::this_thread::yield();
      body(i);
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST(EmbeddingConcurrency, FirstUseFromManyThreadsBuildsAndLoadsOneModel) {
  testing::Overrides seam;
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-embed-conc-");
  const std::string file = (scratch.path() / "tiny.gguf").string();
  fixtures::write_tiny_model(file);
  ::kolvex::testkit::ScopedEnv env({{"KOLVEX_EMBEDDING_MODEL", file},
                          {"KOLVEX_EMBEDDING_BATCH_SIZE", std::nullopt},
                          {"KOLVEX_EMBEDDING_QUERY_PREFIX", std::nullopt},
                          {"KOLVEX_EMBEDDING_DOC_PREFIX", std::nullopt}});

  std::vector<EmbeddingModel*> seen(THREADS);
  std::vector<std::vector<float>> vectors(THREADS);
  race([&](int i) {
    seen[i] = &default_model();
    vectors[i] = seen[i]->embed_query(i % 2 ? "find the parser" : "open the store");
  });
  EXPECT_EQ(std::set<EmbeddingModel*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_EQ(testing::loads(), 1u);
  for (int i = 2; i < THREADS; ++i) EXPECT_EQ(vectors[i], vectors[i % 2]);
  EXPECT_NE(vectors[0], vectors[1]);

  // Encoding and token counting share one loaded model safely.
  race([&](int i) {
    auto rows = default_model().embed_texts({"a", "b", "c"});
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(default_model().count_oversized({"a", "b"}), 0) << i;
  });
  EXPECT_EQ(testing::loads(), 1u);
}

}  // namespace
}  // namespace kolvex::embeddings
