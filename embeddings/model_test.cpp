#include "embeddings/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/fs.h"
#include "embeddings/runtime.h"
#include "embeddings/testing.h"
#include "embeddings/tiny_model.h"
#include "testkit/fake_program.h"

namespace kolvex::embeddings {
namespace {

using ::kolvex::testkit::EnvOverlay;
using ::kolvex::testkit::ScopedEnv;

// Every variable the model reads, unset, with `overlay` laid over it.
EnvOverlay clean_env(const EnvOverlay& overlay = {}) {
  EnvOverlay env{{"KOLVEX_EMBEDDING_MODEL", std::nullopt},
                 {"KOLVEX_EMBEDDING_BATCH_SIZE", std::nullopt},
                 {"KOLVEX_EMBEDDING_QUERY_PREFIX", std::nullopt},
                 {"KOLVEX_EMBEDDING_DOC_PREFIX", std::nullopt}};
  return ::kolvex::testkit::merge_env(env, overlay);
}

std::string warning_for(const std::string& name) {
  return "embedding model " + name +
         " is not in the known-prefix map; no query/document prefix will be applied. If this model "
         "needs one, set KOLVEX_EMBEDDING_QUERY_PREFIX and KOLVEX_EMBEDDING_DOC_PREFIX.";
}

TEST(EmbeddingConstants, TablesAndTexts) {
  EXPECT_EQ(DEFAULT_MODEL, "BAAI/bge-m3");
  EXPECT_EQ(DEFAULT_REVISION, "5617a9f61b028005a4858fdac845db406aefb181");
  EXPECT_EQ(DEFAULT_BATCH_SIZE, 8);
  EXPECT_EQ(MAX_SEQ_LENGTH, 1024);
  ASSERT_EQ(MODEL_PREFIXES.size(), 3u);
  EXPECT_EQ(MODEL_PREFIXES[0].key, "bge-m3");
  EXPECT_EQ(MODEL_PREFIXES[1].query_prefix, "query: ");
  EXPECT_EQ(MODEL_PREFIXES[1].doc_prefix, "passage: ");
  EXPECT_EQ(MODEL_PREFIXES[2].query_prefix, "search_query: ");
  EXPECT_EQ(MODEL_PREFIXES[2].doc_prefix, "search_document: ");
  EXPECT_EQ(INSTALL_HINT,
            "semantic search requires the 'semantic' extra \xE2\x80\x94 install kolvex-mcp[semantic] (uv tool "
            "install, or uvx --from), or `uv sync --extra semantic` in a source checkout");
  static_assert(std::is_base_of_v<core::GenericError, SemanticExtraMissingError>);
  static_assert(!std::is_base_of_v<core::RuntimeError, SemanticExtraMissingError>);
}

TEST(EmbeddingConstants, WarningTextHasItsFixedParts) {
  std::string text = *EmbeddingModel({.model_name = "x"}).prefix_warning();
  EXPECT_EQ(text, warning_for("x"));
  EXPECT_EQ(text.size(), 16u + 1u + 166u);
}

struct ConfigCase {
  const char* label;
  EnvOverlay env;
  EmbeddingModelOptions options;
  std::string model_name;
  std::string revision;
  std::int64_t batch_size;
  std::string query_prefix;
  std::string doc_prefix;
  bool warns;
};

TEST(EmbeddingModelConfig, ResolvesArgumentsEnvironmentAndTables) {
  const std::string pin(DEFAULT_REVISION);
  const std::vector<ConfigCase> cases = {
      {"defaults", {}, {}, "BAAI/bge-m3", pin, 8, "", "", false},
      {"env names the default", {{"KOLVEX_EMBEDDING_MODEL", "BAAI/bge-m3"}}, {}, "BAAI/bge-m3", pin, 8, "", "", false},
      {"other case is unpinned", {{"KOLVEX_EMBEDDING_MODEL", "baai/BGE-M3"}}, {}, "baai/BGE-M3", "unpinned", 8, "", "",
       false},
      {"empty env name", {{"KOLVEX_EMBEDDING_MODEL", ""}}, {}, "", "unpinned", 8, "", "", true},
      {"longest key wins", {}, {.model_name = "acme/e5-nomic-embed"}, "acme/e5-nomic-embed", "unpinned", 8,
       "search_query: ", "search_document: ", false},
      {"e5 table entry", {}, {.model_name = "intfloat/E5-base"}, "intfloat/E5-base", "unpinned", 8, "query: ",
       "passage: ", false},
      {"unlisted model", {}, {.model_name = "acme/unknown"}, "acme/unknown", "unpinned", 8, "", "", true},
      {"empty query variable silences the warning", {{"KOLVEX_EMBEDDING_QUERY_PREFIX", ""}},
       {.model_name = "acme/unknown"}, "acme/unknown", "unpinned", 8, "", "", false},
      {"query variable only", {{"KOLVEX_EMBEDDING_QUERY_PREFIX", "Q: "}}, {.model_name = "acme/unknown"},
       "acme/unknown", "unpinned", 8, "Q: ", "", false},
      {"empty query argument beats variable and table",
       {{"KOLVEX_EMBEDDING_QUERY_PREFIX", "Q: "}},
       {.model_name = "intfloat/e5", .query_prefix = ""}, "intfloat/e5", "unpinned", 8, "", "passage: ", false},
      {"empty model argument counts as absent", {{"KOLVEX_EMBEDDING_MODEL", "intfloat/e5"}},
       {.model_name = ""}, "intfloat/e5", "unpinned", 8, "query: ", "passage: ", false},
      {"empty revision argument is the revision", {}, {.revision = ""}, "BAAI/bge-m3", "", 8, "", "", false},
      {"four arguments ignore the environment but the batch size",
       {{"KOLVEX_EMBEDDING_MODEL", "intfloat/e5"},
        {"KOLVEX_EMBEDDING_QUERY_PREFIX", "Q: "},
        {"KOLVEX_EMBEDDING_DOC_PREFIX", "D: "},
        {"KOLVEX_EMBEDDING_BATCH_SIZE", "3"}},
       {.model_name = "acme/unknown", .revision = "unpinned", .query_prefix = "", .doc_prefix = "d "},
       "acme/unknown", "unpinned", 3, "", "d ", false},
      {"batch argument", {{"KOLVEX_EMBEDDING_BATCH_SIZE", "16"}}, {.batch_size = 2}, "BAAI/bge-m3", pin, 2, "", "",
       false},
      {"batch argument 0 falls back to the variable", {{"KOLVEX_EMBEDDING_BATCH_SIZE", " 16 "}},
       {.batch_size = 0}, "BAAI/bge-m3", pin, 16, "", "", false},
      {"signed batch variable", {{"KOLVEX_EMBEDDING_BATCH_SIZE", "+4"}}, {}, "BAAI/bge-m3", pin, 4, "", "", false},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv env(clean_env(c.env));
    EmbeddingModel model(c.options);
    EXPECT_EQ(model.identity(), std::make_pair(c.model_name, c.revision));
    EXPECT_EQ(model.prefixes(), std::make_pair(c.query_prefix, c.doc_prefix));
    EXPECT_EQ(model.batch_size(), c.batch_size);
    if (c.warns) {
      EXPECT_EQ(model.prefix_warning(), warning_for(c.model_name));
    } else {
      EXPECT_EQ(model.prefix_warning(), std::nullopt);
    }
    EXPECT_FALSE(model.loaded());
  }
}

TEST(EmbeddingModelConfig, InvalidBatchSizesFailConstruction) {
  for (const char* value : {"abc", "", " ", "1.5", "0x10", "0", "-3", "+-2"}) {
    SCOPED_TRACE(value);
    ScopedEnv env(clean_env({{"KOLVEX_EMBEDDING_BATCH_SIZE", value}}));
    EXPECT_THROW(EmbeddingModel(), core::ValueError);
  }
  ScopedEnv env(clean_env({{"KOLVEX_EMBEDDING_BATCH_SIZE", "abc"}}));
  try {
    EmbeddingModel model;
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(),
                 "KOLVEX_EMBEDDING_BATCH_SIZE must be an integer: invalid literal for int() with base 10: 'abc'");
  }
  ScopedEnv clean(clean_env());
  EXPECT_THROW(EmbeddingModel({.batch_size = -1}), core::ValueError);
}

// A tiny random-weight model written once for the suite, named by its path.
class EmbeddingModelEncoding : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new core::ScratchDir(core::ScratchDir::create("kolvex-embed-test-"));
    model_file_ = new std::string((scratch_->path() / "tiny.gguf").string());
    fixtures::write_tiny_model(*model_file_);
  }
  static void TearDownTestSuite() {
    delete model_file_;
    delete scratch_;
  }
  void SetUp() override { env_ = std::make_unique<ScopedEnv>(clean_env()); }

  static EmbeddingModelOptions tiny(EmbeddingModelOptions options = {}) {
    options.model_name = *model_file_;
    return options;
  }

  static core::ScratchDir* scratch_;
  static std::string* model_file_;
  std::unique_ptr<ScopedEnv> env_;
  std::optional<testing::Overrides> seam_{std::in_place};
};
core::ScratchDir* EmbeddingModelEncoding::scratch_ = nullptr;
std::string* EmbeddingModelEncoding::model_file_ = nullptr;

double norm(const std::vector<float>& v) {
  double sum = 0;
  for (float x : v) sum += double(x) * x;
  return std::sqrt(sum);
}

std::vector<std::string> numbered(int n) {
  std::vector<std::string> texts;
  for (int i = 0; i < n; ++i) texts.push_back("def function_" + std::to_string(i) + "(): return " + std::to_string(i));
  return texts;
}

TEST_F(EmbeddingModelEncoding, VectorsAreUnitLengthDeterministicAndDistinct) {
  EmbeddingModel model(tiny());
  std::vector<std::string> texts = {"def parse(source): pass", "class Store:", "def parse(source): pass", ""};
  auto first = model.embed_texts(texts);
  ASSERT_EQ(first.size(), 4u);
  for (const auto& v : first) {
    EXPECT_EQ(v.size(), 32u);
    EXPECT_NEAR(norm(v), 1.0, 1e-5);
  }
  EXPECT_EQ(first[0], first[2]);
  EXPECT_NE(first[0], first[1]);
  EXPECT_EQ(model.embed_texts(texts), first);
  EmbeddingModel other(tiny());
  EXPECT_EQ(other.embed_texts(texts), first);
  EXPECT_EQ(testing::loads(), 2u);
}

TEST_F(EmbeddingModelEncoding, EncodesInSlicesOfTheBatchSizeWithTheSameVectors) {
  EmbeddingModel reference(tiny({.batch_size = 64}));
  const auto texts = numbered(17);
  const auto expected = reference.embed_texts(texts);
  struct Case {
    std::int64_t batch_size;
    std::vector<std::size_t> calls;
  };
  for (const Case& c : {Case{8, {8, 8, 1}}, Case{1, std::vector<std::size_t>(17, 1)}, Case{3, {3, 3, 3, 3, 3, 2}}}) {
    SCOPED_TRACE(c.batch_size);
    testing::reset();
    EmbeddingModel model(tiny({.batch_size = c.batch_size}));
    EXPECT_EQ(model.embed_texts(texts), expected);
    EXPECT_EQ(testing::encode_calls(), c.calls);
  }
  testing::reset();
  EmbeddingModel by_default(tiny());
  EXPECT_EQ(by_default.count_oversized(texts), 0);
  EXPECT_EQ(testing::tokenize_calls(), (std::vector<std::size_t>{8, 8, 1}));
}

TEST_F(EmbeddingModelEncoding, QueryAndDocumentPrefixesGoInFront) {
  EmbeddingModel plain(tiny());
  EmbeddingModel prefixed(tiny({.query_prefix = "query: ", .doc_prefix = "passage: "}));
  const auto as_query = prefixed.embed_query("open the store");
  const auto as_doc = prefixed.embed_texts({"open the store"}).at(0);
  EXPECT_NE(as_query, as_doc);
  EXPECT_EQ(as_query, plain.embed_texts({"query: open the store"}).at(0));
  EXPECT_EQ(as_doc, plain.embed_texts({"passage: open the store"}).at(0));
  EXPECT_EQ(plain.embed_query("open the store"), plain.embed_texts({"open the store"}).at(0));
}

TEST_F(EmbeddingModelEncoding, CountsTextsOverTheAppliedLimitAndTruncatesThem) {
  // Each "hello" is one token; the tokenizer adds [CLS] and [SEP].
  auto words = [](int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += i ? " hello" : "hello";
    return text;
  };
  // The limit applied is MAX_SEQ_LENGTH, or the training context when that is shorter.
  const std::string short_context = (scratch_->path() / "short-context.gguf").string();
  fixtures::write_tiny_model(short_context, {.context_length = 64});
  struct Case {
    std::string model_file;
    int limit;
  };
  for (const Case& c : {Case{*model_file_, MAX_SEQ_LENGTH}, Case{short_context, 64}}) {
    SCOPED_TRACE(c.limit);
    EmbeddingModel model(EmbeddingModelOptions{.model_name = c.model_file, .batch_size = 2});
    const std::string exact = words(c.limit - 2);
    const std::string over = words(c.limit - 1);
    EXPECT_EQ(model.count_oversized({exact}), 0);
    EXPECT_EQ(model.count_oversized({over}), 1);
    EXPECT_EQ(model.count_oversized({"short", over, exact, words(3000), "x"}), 2);
    // The document prefix counts: it turns the exact text into an oversized one.
    EmbeddingModel prefixed(EmbeddingModelOptions{.model_name = c.model_file, .doc_prefix = "hello "});
    EXPECT_EQ(prefixed.count_oversized({exact}), 1);
    // Truncation keeps the first tokens and the closing separator.
    const auto vectors = model.embed_texts({exact, over, words(3000)});
    EXPECT_EQ(vectors[1], vectors[0]);
    EXPECT_EQ(vectors[2], vectors[0]);
    EXPECT_NEAR(norm(vectors[2]), 1.0, 1e-5);
  }
  // Under a short training context, texts between it and MAX_SEQ_LENGTH are
  // truncated, so they are counted.
  EmbeddingModel model(EmbeddingModelOptions{.model_name = short_context});
  EXPECT_EQ(model.count_oversized({words(100), words(MAX_SEQ_LENGTH - 2), words(62)}), 2);
}

// The largest difference between two vectors' components; infinite when their
// lengths differ.
double max_difference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  double worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(double(a[i]) - b[i]));
  return worst;
}

TEST_F(EmbeddingModelEncoding, BatchesEncodeEveryTextAsItWouldBeEncodedAlone) {
  auto repeat = [](const std::string& word, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += i ? " " + word : word;
    return text;
  };
  // Lengths from one token to far past the limit; the cut texts use different
  // words so that a mix-up between them shows.
  const std::vector<std::string> texts = {
      "x",
      repeat("alpha", 3000),
      "def parse(source):\n    return Parser(source).run()",
      "",
      repeat("beta", MAX_SEQ_LENGTH - 1),
      repeat("def gamma(): pass", 60),
      "caf\xC3\xA9 \xE2\x80\x94 na\xC3\xAFve",
      repeat("delta", MAX_SEQ_LENGTH - 2),
      "class Store:\n    def open(self): ...",
      repeat("epsilon", 1500),
  };
  EmbeddingModel alone_model(tiny({.batch_size = 1}));
  std::vector<std::vector<float>> alone;
  for (const std::string& text : texts) alone.push_back(alone_model.embed_texts({text}).at(0));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) ASSERT_NE(alone[i], alone[j]) << i << " " << j;
  }
  for (std::int64_t batch_size : {std::int64_t{4}, std::int64_t{8}, std::int64_t{16}}) {
    SCOPED_TRACE(batch_size);
    EmbeddingModel model(tiny({.batch_size = batch_size}));
    const auto batched = model.embed_texts(texts);
    ASSERT_EQ(batched.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_LE(max_difference(batched[i], alone[i]), 1e-5) << "text " << i;
    }
  }
}

TEST_F(EmbeddingModelEncoding, LoadsOnlyWhenAVectorOrATokenCountIsNeeded) {
  EmbeddingModel model(tiny());
  model.identity();
  model.prefixes();
  model.prefix_warning();
  EXPECT_EQ(model.count_oversized({}), 0);
  EXPECT_FALSE(model.loaded());
  EXPECT_EQ(testing::loads(), 0u);
  EXPECT_TRUE(model.embed_texts({}).empty());
  EXPECT_TRUE(model.loaded());
  model.embed_query("again");
  model.count_oversized({"x"});
  EXPECT_EQ(testing::loads(), 1u);
  EXPECT_EQ(testing::encode_calls(), std::vector<std::size_t>{1});
}

TEST_F(EmbeddingModelEncoding, NothingIsRecordedWithoutTheSeam) {
  seam_.reset();
  EmbeddingModel model(tiny({.batch_size = 1}));
  for (int round = 0; round < 3; ++round) EXPECT_EQ(model.embed_texts(numbered(4)).size(), 4u);
  EXPECT_EQ(model.count_oversized(numbered(4)), 0);
  EXPECT_EQ(testing::loads(), 0u);
  EXPECT_TRUE(testing::encode_calls().empty());
  EXPECT_TRUE(testing::tokenize_calls().empty());
  seam_.emplace();
  model.embed_query("observed");
  EXPECT_EQ(testing::encode_calls(), std::vector<std::size_t>{1});
}

TEST_F(EmbeddingModelEncoding, MissingModelFileFailsAtFirstUseAndIsRetried) {
  core::ScratchDir data = core::ScratchDir::create("kolvex-embed-data-");
  ScopedEnv xdg({{"XDG_DATA_HOME", data.path().string()}});
  EmbeddingModel model({.model_name = "acme/missing-model"});
  EXPECT_EQ(model.count_oversized({}), 0);
  const auto expected = data.path() / "kolvex" / "models" / "acme--missing-model.gguf";
  EXPECT_EQ(model_path("acme/missing-model"), expected);
  try {
    model.embed_texts({});
    FAIL() << "no error";
  } catch (const ModelNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "embedding model acme/missing-model not found: no model file at " + expected.string());
  }
  EXPECT_THROW(model.count_oversized({"x"}), ModelNotFoundError);
  EXPECT_FALSE(model.loaded());
  fixtures::write_tiny_model(expected);
  EXPECT_EQ(model.embed_texts({"x"}).size(), 1u);
  EXPECT_TRUE(model.loaded());
}

TEST_F(EmbeddingModelEncoding, DefaultModelIsResolvedInTheModelStoreWithItsRevision) {
  core::ScratchDir data = core::ScratchDir::create("kolvex-embed-data-");
  ScopedEnv xdg({{"XDG_DATA_HOME", data.path().string()}});
  const auto file = data.path() / "kolvex" / "models" / "BAAI--bge-m3.gguf";
  fixtures::write_tiny_model(file, {.revision = "0000000000000000000000000000000000000000"});
  EmbeddingModel pinned;
  try {
    pinned.embed_query("x");
    FAIL() << "no error";
  } catch (const ModelNotFoundError& error) {
    EXPECT_EQ(std::string(error.what()),
              "embedding model BAAI/bge-m3 has no revision 5617a9f61b028005a4858fdac845db406aefb181: " +
                  file.string() + " holds revision 0000000000000000000000000000000000000000");
  }
  EmbeddingModel unpinned({.revision = "unpinned"});
  EXPECT_EQ(unpinned.embed_query("x").size(), 32u);
  fixtures::write_tiny_model(file, {.revision = std::string(DEFAULT_REVISION)});
  EXPECT_EQ(pinned.embed_query("x").size(), 32u);
  // A file that records no revision is accepted for any pin.
  fixtures::write_tiny_model(file);
  EmbeddingModel other_pin({.revision = "abc"});
  EXPECT_EQ(other_pin.embed_query("x").size(), 32u);
}

TEST_F(EmbeddingModelEncoding, AbsentRuntimeRaisesTheInstallHint) {
  testing::set_runtime_unbindable(true);
  EmbeddingModel model(tiny());
  EXPECT_EQ(model.count_oversized({}), 0);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      model.embed_texts({});
      FAIL() << "no error";
    } catch (const SemanticExtraMissingError& error) {
      EXPECT_EQ(error.message(), INSTALL_HINT);
      EXPECT_NE(error.cause(), nullptr);
    }
  }
  EXPECT_THROW(model.embed_query("x"), SemanticExtraMissingError);
  EXPECT_FALSE(model.loaded());
  testing::set_runtime_unbindable(false);
  EXPECT_EQ(model.embed_query("x").size(), 32u);
}

TEST_F(EmbeddingModelEncoding, DefaultModelIsBuiltOnceFromTheEnvironment) {
  {
    ScopedEnv bad(clean_env({{"KOLVEX_EMBEDDING_BATCH_SIZE", "abc"}}));
    EXPECT_THROW(default_model(), core::ValueError);
  }
  ScopedEnv env(clean_env({{"KOLVEX_EMBEDDING_MODEL", *model_file_}, {"KOLVEX_EMBEDDING_BATCH_SIZE", "2"}}));
  EmbeddingModel& first = default_model();
  EXPECT_EQ(first.model_name(), *model_file_);
  EXPECT_EQ(first.batch_size(), 2);
  ScopedEnv later(clean_env({{"KOLVEX_EMBEDDING_MODEL", "other"}}));
  EXPECT_EQ(&default_model(), &first);
  EXPECT_EQ(default_model().model_name(), *model_file_);
}

}  // namespace
}  // namespace kolvex::embeddings
