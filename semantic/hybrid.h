// Hybrid search over one repository: the nearest chunks of its vector table,
// Zoekt line hits restricted to the repository and symbol-definition hits of its
// converted SCIP database, fused by reciprocal rank fusion and cut to a limit.
//
// The vector leg is required: a repository without a vector table raises
// NoSemanticIndexError before anything else is asked. A table built under another
// identity than the configured model's is queried with a model of the table's
// identity, and the result's "warning" says so. The Zoekt leg is empty when no
// service address is given, when the service cannot be reached and when it
// rejects the query as malformed; the symbol leg is empty without a connection
// and on any failure of symbol-definition search. Neither leaves a trace in the
// result.
//
// Zoekt queries restrict the search to the repository with an anchored,
// escaped repository filter ("r:^<slug>$"), so that the slug "api" never matches
// "api-gateway".
//
// No lock is taken; every object but the process-wide model is made for the call
// or lent by the caller for its length. Any number of threads may search at once,
// each with its own SQLite connection.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"
#include "core/json.h"
#include "semantic/model.h"

namespace kolvex::core {
class Connection;
}

namespace kolvex::semantic {

// Rows asked of the vector table for one query.
inline constexpr std::int64_t VECTOR_TOP_K = 30;
// Zoekt hits kept for one query.
inline constexpr std::size_t ZOEKT_TOP_K = 30;
// Results returned when the caller gives no limit.
inline constexpr std::int64_t DEFAULT_SEARCH_LIMIT = 10;

// The repository has no vector table.
class NoSemanticIndexError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "NoSemanticIndexError"; }
};

struct SearchOptions {
  std::optional<std::filesystem::path> root;   // data root for platform::lancedb_dir
  std::optional<std::string> zoekt_base_url;   // none: no Zoekt leg
  std::shared_ptr<SemanticModel> model;        // null: the process-wide default model
  core::Connection* scip_conn = nullptr;       // lent, never closed; null: no symbol leg
  // Builds the model of a stored table's identity (null: make_semantic_model).
  ModelFactory model_factory;
};

// The search result: {"query", "results", "total"[, "warning"]}; each result
// {"repo", "filePath", "startLine", "endLine", "symbolName", "content", "score",
// "sources"}. A negative limit gives no results. Throws NoSemanticIndexError,
// core::ValueError for an unusable slug, and what the store and the model raise.
core::Json semantic_search(const std::string& slug, const std::string& query, std::int64_t limit = DEFAULT_SEARCH_LIMIT,
                           const SearchOptions& options = {});

namespace detail {
// The Zoekt text of a natural-language query (alternation of its tokens), or
// the query unchanged when it is code-shaped or has too few tokens.
std::string zoekt_lexical_query(const std::string& query);
// The Zoekt query of a search: the repository filter, one blank, the rewritten query.
std::string zoekt_query(const std::string& slug, const std::string& query);
}  // namespace detail

}  // namespace kolvex::semantic
