#include "semantic/hybrid.h"

#include <regex>

#include "chunker/chunk.h"
#include "core/text.h"
#include "defmatch/search.h"
#include "defmatch/tokens.h"
#include "platform/config.h"
#include "platform/search.h"
#include "semantic/fusion.h"
#include "semantic/prepare.h"
#include "semantic/store.h"

namespace kolvex::semantic {
namespace {

// A query already written in Zoekt's syntax: a field name and colon at the start
// or after whitespace, or a quote or parenthesis anywhere. Case-sensitive.
const std::regex ZOEKT_SYNTAX_RE(
    R"((?:^|\s)(?:r|repo|f|file|sym|lang|l|case|content|c|branch|type|archived|fork|public|regex|meta):|["()])");

// Characters that Zoekt's regular expressions treat specially.
constexpr std::string_view REGEX_METACHARACTERS = R"(\.+*?()|[]{}^$)";

std::string escape_regex(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    if (REGEX_METACHARACTERS.find(c) != std::string_view::npos) escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

std::size_t word_count(const std::string& text) {
  std::size_t words = 0;
  bool in_word = false;
  for (char32_t point : core::to_code_points(text)) {
    const bool blank = core::is_python_whitespace(point);
    if (!blank && !in_word) ++words;
    in_word = !blank;
  }
  return words;
}

TableIdentity identity_of(const SemanticModel& model) {
  auto [model_name, model_revision] = model.identity();
  auto [query_prefix, doc_prefix] = model.prefixes();
  return {std::move(model_name), std::move(model_revision), std::move(query_prefix), std::move(doc_prefix),
          chunker::CONTENT_FORMAT};
}

std::string describe_identity(const TableIdentity& identity) {
  return identity.model_name + "@" + identity.model_revision + " (prefixes " + core::quote(identity.query_prefix) +
         "/" + core::quote(identity.doc_prefix) + ", content format " + std::to_string(identity.content_format) + ")";
}

std::string mismatch_text(const TableIdentity& configured, const TableIdentity& stored, const std::string& slug) {
  return "configured embedding model " + describe_identity(configured) + " differs from the index's " +
         describe_identity(stored) + "; queried with the index's \u2014 run kolvex reindex " + slug + " to migrate";
}

std::vector<platform::ZoektHit> zoekt_leg(const std::string& slug, const std::string& query,
                                          const std::optional<std::string>& base_url) {
  if (!base_url) return {};
  try {
    std::vector<platform::ZoektHit> hits = platform::search_zoekt(*base_url, detail::zoekt_query(slug, query)).hits;
    if (hits.size() > ZOEKT_TOP_K) hits.resize(ZOEKT_TOP_K);
    return hits;
  } catch (const platform::ZoektUnavailableError&) {
    return {};
  } catch (const platform::ZoektQueryError&) {
    return {};
  }
}

std::vector<defmatch::SymbolHit> symbol_leg(const std::string& query, core::Connection* scip_conn) {
  if (scip_conn == nullptr) return {};
  try {
    return defmatch::search_symbols(*scip_conn, query);
  } catch (const std::exception&) {
    return {};
  }
}

core::Json result_entry(const FusedHit& hit) {
  core::Json entry = core::Json::object();
  entry["repo"] = hit.repo;
  entry["filePath"] = hit.file_path;
  entry["startLine"] = hit.start_line;
  entry["endLine"] = hit.end_line;
  entry["symbolName"] =
      hit.symbol_name && !hit.symbol_name->empty() ? core::Json(*hit.symbol_name) : core::Json(nullptr);
  entry["content"] = hit.content;
  entry["score"] = hit.score;
  entry["sources"] = hit.sources;
  return entry;
}

}  // namespace

namespace detail {

std::string zoekt_lexical_query(const std::string& query) {
  if (query.empty()) return query;
  if (std::regex_search(query, ZOEKT_SYNTAX_RE)) return query;
  if (word_count(query) < 2) return query;
  std::vector<std::string> tokens = defmatch::extract_tokens(query);
  if (tokens.size() < 2) return query;
  return "(" + core::join(tokens, " or ") + ")";
}

std::string zoekt_query(const std::string& slug, const std::string& query) {
  return "r:^" + escape_regex(slug) + "$ " + zoekt_lexical_query(query);
}

}  // namespace detail

core::Json semantic_search(const std::string& slug, const std::string& query, std::int64_t limit,
                           const SearchOptions& options) {
  detail::check_slug(slug);
  SemanticStore store(platform::lancedb_dir(options.root));
  std::optional<TableIdentity> stored = store.table_identity(slug);
  if (!stored) {
    throw NoSemanticIndexError("no semantic index for " + slug + " \u2014 run kolvex reindex " + slug);
  }

  std::shared_ptr<SemanticModel> model = options.model ? options.model : default_semantic_model();
  std::optional<std::string> warning;
  TableIdentity configured = identity_of(*model);
  if (configured != *stored) {
    warning = mismatch_text(configured, *stored, slug);
    ModelSpec model_spec{stored->model_name, stored->model_revision, stored->query_prefix, stored->doc_prefix};
    model = options.model_factory ? options.model_factory(model_spec) : make_semantic_model(model_spec);
  }

  std::vector<Row> vector_rows = store.search(slug, model->embed_query(query), VECTOR_TOP_K);
  std::vector<platform::ZoektHit> zoekt_hits = zoekt_leg(slug, query, options.zoekt_base_url);
  std::vector<defmatch::SymbolHit> symbol_hits = symbol_leg(query, options.scip_conn);

  std::vector<FusedHit> fused = reciprocal_rank_fusion(slug, vector_rows, zoekt_hits, symbol_hits);
  const auto kept = static_cast<std::size_t>(std::max<std::int64_t>(limit, 0));
  if (fused.size() > kept) fused.resize(kept);

  core::Json results = core::Json::array();
  for (const FusedHit& hit : fused) results.push_back(result_entry(hit));
  core::Json result = core::Json::object();
  result["query"] = query;
  result["results"] = std::move(results);
  result["total"] = fused.size();

  if (std::optional<std::string> note = model->prefix_warning(); note && !note->empty()) {
    warning = warning && !warning->empty() ? *warning + "; " + *note : *note;
  }
  if (warning && !warning->empty()) result["warning"] = *warning;
  return result;
}

}  // namespace kolvex::semantic
