// The embedding model as the semantic index uses it.
//
// The semantic stage and hybrid search talk to the embedding model only through
// SemanticModel: its identity and prefixes (which never load weights), document
// and query encoding, and the count of texts the model would truncate. The real
// model is the embeddings library's EmbeddingModel; default_semantic_model()
// wraps the process-wide one and make_semantic_model() builds a new one from the
// four values a stored table identity names. Tests substitute their own models.
//
// The identity of a real model names the weights of its file: the revision the
// file records, else a digest of the file. When the file is replaced or
// rewritten after a wrapper loaded it, the wrapper encodes with a fresh instance
// that loads the file anew, so a long-lived process follows the file. A model
// made for a digest revision refuses to encode with other weights
// (embeddings::ModelNotFoundError).
//
// Thread-safety: as the wrapped model. The process-wide default is created once,
// under the embeddings library's lock; one wrapper is shared by every caller.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "semantic/row.h"

namespace kolvex::semantic {

class SemanticModel {
 public:
  virtual ~SemanticModel() = default;

  // (model name, revision); never loads. For a model read from a file the
  // revision pins the weights themselves (embeddings/weights_revision.h).
  virtual std::pair<std::string, std::string> identity() const = 0;
  // (query prefix, document prefix); never loads.
  virtual std::pair<std::string, std::string> prefixes() const = 0;
  // The note for a model without known prefixes, or none; never loads.
  virtual std::optional<std::string> prefix_warning() const = 0;
  // One unit vector per document text, in order (the document prefix applied).
  // Loads the model, also for an empty list.
  virtual std::vector<Vector> embed_texts(const std::vector<std::string>& texts) = 0;
  // The query's vector (the query prefix applied).
  virtual Vector embed_query(std::string_view query) = 0;
  // How many of the document texts the model truncates; 0 for an empty list
  // without loading anything.
  virtual std::int64_t count_oversized(const std::vector<std::string>& texts) = 0;
  // The revision of the weights this model has loaded, named as identity()
  // names them, or none when it cannot tell (nothing loaded, no model file).
  // A revision other than identity()'s means the file changed after the
  // identity was taken. Never loads.
  virtual std::optional<std::string> loaded_revision() { return std::nullopt; }
};

// The four values from which hybrid search builds a model of a stored table's
// identity (no batch size).
struct ModelSpec {
  std::string model_name;
  std::string revision;
  std::string query_prefix;
  std::string doc_prefix;

  bool operator==(const ModelSpec&) const = default;
};

// Builds a model of the given identity and prefixes (hybrid search's replacement model).
using ModelFactory = std::function<std::shared_ptr<SemanticModel>(const ModelSpec&)>;

// The process-wide embedding model, wrapped; built on first use from the
// environment. Loads no weights. Throws what building the model throws (an
// invalid KOLVEX_EMBEDDING_BATCH_SIZE).
std::shared_ptr<SemanticModel> default_semantic_model();

// A new embedding model with all four values given; loads no weights.
std::shared_ptr<SemanticModel> make_semantic_model(const ModelSpec& model_spec);

// True when the embedding runtime cannot be bound or the process-wide model's
// file is not in the model store, so that encoding would fail. Loads no weights.
bool embedding_components_missing();

// True when `error` is the embedding library's report that its runtime cannot be
// bound or that a model (or its requested revision) is not in the model store.
bool is_model_unavailable(const std::exception& error);

// True when `error` means that a semantic component (the vector store, the
// embedding runtime or the model file) is not installed.
bool is_extra_missing(const std::exception& error);

}  // namespace kolvex::semantic
