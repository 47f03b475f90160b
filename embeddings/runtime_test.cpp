#include "embeddings/runtime.h"

#include <gtest/gtest.h>

#include "core/fs.h"
#include "embeddings/tiny_model.h"
#include "testkit/fake_program.h"

namespace kolvex::embeddings {
namespace {

TEST(ModelStore, NamesMapToFilesUnderTheDataDirectoryAndPathsToThemselves) {
  core::ScratchDir data = core::ScratchDir::create("kolvex-embed-data-");
  ::kolvex::testkit::ScopedEnv xdg({{"XDG_DATA_HOME", data.path().string()}});
  const auto models = data.path() / "kolvex" / "models";
  EXPECT_EQ(model_path("BAAI/bge-m3"), models / "BAAI--bge-m3.gguf");
  EXPECT_EQ(model_path("nomic-ai/nomic-embed-text-v1.5"), models / "nomic-ai--nomic-embed-text-v1.5.gguf");
  EXPECT_EQ(model_path("a/b/c"), models / "a--b--c.gguf");
  EXPECT_EQ(model_path("/opt/models/e5.gguf"), std::filesystem::path("/opt/models/e5.gguf"));
  EXPECT_EQ(model_path("rel/e5.gguf"), std::filesystem::path("rel/e5.gguf"));
}

TEST(RuntimeModel, TokenizesWithSpecialTokensAndEncodesToTheModelWidth) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-embed-rt-");
  const auto file = scratch.path() / "wide.gguf";
  fixtures::write_tiny_model(file, {.seed = 7, .embedding_length = 48, .context_length = 64});
  auto model = RuntimeModel::load(file.string(), std::nullopt);
  EXPECT_EQ(model->dimensions(), 48);
  // Without a set length the model's own context bounds the input.
  EXPECT_EQ(model->max_seq_length(), 64);
  const auto ids = model->tokenize({"hello hello", ""});
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0].size(), 4u);  // [CLS] hello hello [SEP]
  EXPECT_EQ(ids[1].size(), 2u);
  EXPECT_EQ(ids[0].front(), ids[1].front());
  EXPECT_EQ(ids[0].back(), ids[1].back());
  // Tokenizing never truncates; encoding longer inputs than the model takes does.
  std::string long_text;
  for (int i = 0; i < 100; ++i) long_text += "hello ";
  EXPECT_EQ(model->tokenize({long_text})[0].size(), 102u);
  model->set_max_seq_length(1024);
  const auto rows = model->encode({long_text, "hello"});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].size(), 48u);
  EXPECT_NE(rows[0], rows[1]);
}

TEST(RuntimeModel, RejectsAFileThatIsNotAModel) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-embed-rt-");
  const auto file = scratch.path() / "junk.gguf";
  core::write_file_atomic(file, "not a gguf file");
  EXPECT_THROW(RuntimeModel::load(file.string(), std::nullopt), EmbeddingRuntimeError);
  // The bundled vocab file has no weights.
  EXPECT_THROW(RuntimeModel::load(fixtures::vocab_path().string(), std::nullopt), EmbeddingRuntimeError);
}

TEST(RuntimeModel, EncodesTextThatIsNotValidUtf8) {
  core::ScratchDir scratch = core::ScratchDir::create("kolvex-embed-rt-");
  const auto file = scratch.path() / "tiny.gguf";
  fixtures::write_tiny_model(file);
  auto model = RuntimeModel::load(file.string(), std::nullopt);
  const auto rows = model->encode({std::string("caf\xC3"), std::string("\xFF\xFE x"), "caf"});
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) EXPECT_EQ(row.size(), 32u);
}

}  // namespace
}  // namespace kolvex::embeddings
