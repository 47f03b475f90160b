// The embedding model: turns chunk texts and search queries into unit-length
// vectors under a stable identity (model name, revision) and per-model prefixes.
//
// Building an EmbeddingModel only resolves its configuration from the arguments,
// the environment variables KOLVEX_EMBEDDING_MODEL, KOLVEX_EMBEDDING_BATCH_SIZE,
// KOLVEX_EMBEDDING_QUERY_PREFIX and KOLVEX_EMBEDDING_DOC_PREFIX and the built-in
// tables; the runtime (embeddings/runtime.h) is bound and the weights are loaded by
// the first encoding (of any list, the empty one included) or the first token
// count of a non-empty list, and kept for the life of the instance. identity(),
// prefixes() and prefix_warning() never load.
//
// Thread-safety: every method may be called from any thread. The first load is
// made once under the instance's lock; a failed load leaves the instance unloaded
// and the next call tries again. default_model() creates the process-wide instance
// once under a lock. The component never prints or logs.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/thread_annotations.h"
#include "embeddings/weights_revision.h"

namespace kolvex::embeddings {

class RuntimeModel;

inline constexpr std::string_view DEFAULT_MODEL = "BAAI/bge-m3";
inline constexpr std::string_view DEFAULT_REVISION = "5617a9f61b028005a4858fdac845db406aefb181";
inline constexpr std::int64_t DEFAULT_BATCH_SIZE = 8;
// Maximum sequence length in tokens, set on every loaded model: longer inputs are
// truncated when encoded (at the model's training context when that is shorter),
// and count_oversized counts them.
inline constexpr int MAX_SEQ_LENGTH = 1024;
// The revision of a model loaded without a revision pin.
inline constexpr std::string_view UNPINNED = "unpinned";

struct ModelPrefixes {
  std::string_view key;  // fragment looked for in the lower-cased model name
  std::string_view query_prefix;
  std::string_view doc_prefix;
};

// Model-name fragment to (query prefix, document prefix), in table order.
inline constexpr std::array<ModelPrefixes, 3> MODEL_PREFIXES{{
    {"bge-m3", "", ""},
    {"e5", "query: ", "passage: "},
    {"nomic-embed", "search_query: ", "search_document: "},
}};

// The message of SemanticExtraMissingError.
inline constexpr std::string_view INSTALL_HINT =
    "semantic search requires the 'semantic' extra \u2014 install kolvex-mcp[semantic] (uv tool install, "
    "or uvx --from), or `uv sync --extra semantic` in a source checkout";

// An optional library of the semantic components (the embedding runtime, the
// vector store) cannot be loaded. Not a load-failure kind: it derives directly
// from the generic family.
using core::GenericError;
KOLVEX_DECLARE_ERROR(SemanticExtraMissingError, GenericError);

// Optional constructor arguments; an absent one is resolved from the environment
// and the built-in tables.
struct EmbeddingModelOptions {
  std::optional<std::string> model_name;  // an empty text counts as absent
  std::optional<std::string> revision;    // any text, the empty one included
  std::optional<std::int64_t> batch_size; // zero counts as absent
  std::optional<std::string> query_prefix;
  std::optional<std::string> doc_prefix;
};

class EmbeddingModel {
 public:
  // Resolves the configuration; loads nothing. Throws core::ValueError when
  // KOLVEX_EMBEDDING_BATCH_SIZE is read and is not an integer, or when the
  // resolved batch size is below 1.
  explicit EmbeddingModel(EmbeddingModelOptions options = {});
  ~EmbeddingModel();
  EmbeddingModel(const EmbeddingModel&) = delete;
  EmbeddingModel& operator=(const EmbeddingModel&) = delete;

  // (model name, revision).
  std::pair<std::string, std::string> identity() const;
  // (query prefix, document prefix).
  std::pair<std::string, std::string> prefixes() const;
  // The warning for a model the prefix table does not list and for which no
  // prefix was configured; absent otherwise.
  std::optional<std::string> prefix_warning() const;

  const std::string& model_name() const { return model_name_; }
  const std::string& revision() const { return revision_; }
  std::int64_t batch_size() const { return batch_size_; }
  // True once the weights are loaded.
  bool loaded() const;
  // The version of the model file the loaded weights came from; none before
  // the first load.
  std::optional<FileStamp> loaded_file_stamp() const;

  // One unit-length vector per text, in input order, each text encoded with the
  // document prefix in front. An empty list still loads the model.
  std::vector<std::vector<float>> embed_texts(const std::vector<std::string>& texts);
  // The query encoded with the query prefix in front.
  std::vector<float> embed_query(const std::string& query);
  // How many of the texts (document prefix in front) encoding truncates: those
  // with more token ids, counted with the model's own tokenizer, than the limit
  // actually applied (MAX_SEQ_LENGTH, or the model's training context when that
  // is shorter). An empty list gives 0 without loading anything.
  std::int64_t count_oversized(const std::vector<std::string>& texts);

 private:
  RuntimeModel& load();
  std::vector<std::vector<float>> encode(const std::vector<std::string>& texts);

  std::string model_name_;
  std::string revision_;
  std::int64_t batch_size_;
  mutable core::Mutex load_mutex_;
  std::shared_ptr<RuntimeModel> model_ GUARDED_BY(load_mutex_);
  std::string query_prefix_;
  std::string doc_prefix_;
  bool unlisted_;
};

// The process-wide model, built with no arguments on the first successful call
// (under a lock) and returned by every later call.
EmbeddingModel& default_model();

}  // namespace kolvex::embeddings
