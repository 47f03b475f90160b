// The pipeline's glue around the optional semantic stage.
//
// The semantic index lives in its own library, which the pipeline binds on
// first use through SemanticBackend: a table of its entry points that the
// library registers when it is present. While nothing is registered the
// stage is "not available": the prepare half prints one "semantic indexing
// skipped — …" line and the run goes on without the stage. Every failure of
// the two halves costs one line on standard error and an absent or false
// result; the navigation snapshot is published either way.
//
// The glue runs on the caller's thread. Registration is meant for library load
// time and for tests; it is guarded by a mutex, but a backend must not be
// replaced while a run uses it.
#pragma once

#include <any>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kolvex::syntax {
class ParserPool;
class ParseTree;
}
namespace kolvex::declstore {
struct SourceManifest;
}

namespace kolvex::pipeline {

// One admitted file whose vectors are still to be made, as the glue reads it.
struct SemanticInputRef {
  std::string file_path;
  std::string file_hash;
};

// The prepare half's hand-off: the inputs the glue reads, and the semantic
// library's own work record, which only the library looks into.
struct SemanticWork {
  std::vector<SemanticInputRef> inputs;
  std::shared_ptr<void> state;
};

// One chunk cut during the syntax build: the hash of the file it was cut from,
// and the chunker's own record.
struct PreparedChunk {
  std::string file_hash;
  std::any chunk;
};
// Repository-relative file path to the chunks cut from the build's parse tree.
using PreparedChunks = std::map<std::string, std::vector<PreparedChunk>>;

struct SkippedFileRef {
  std::string file_path;
  std::string reason;
};
struct TokenStatsRef {
  std::int64_t p50 = 0;
  std::int64_t p90 = 0;
  std::int64_t max = 0;
};
// The finish half's report, as the glue prints it.
struct SemanticReport {
  std::int64_t rows = 0;
  std::int64_t files = 0;
  std::vector<SkippedFileRef> skipped;
  std::optional<std::int64_t> truncated;
  std::optional<TokenStatsRef> token_stats;
  std::optional<std::string> prefix_warning;
};

// The semantic library's entry points. prepare and finish throw on failure;
// is_extra_missing tells its "semantic components are not installed" error
// apart from every other one.
struct SemanticBackend {
  std::function<SemanticWork(const std::filesystem::path& repo_path, const std::string& slug,
                             const std::optional<std::filesystem::path>& root,
                             const std::vector<std::string>& include_prefixes,
                             const declstore::SourceManifest* manifest)>
      prepare;
  std::function<std::set<std::string>(const SemanticWork& work)> parse_paths;
  std::function<SemanticReport(SemanticWork& work, const PreparedChunks& prepared_chunks,
                               syntax::ParserPool& pool)>
      finish;
  std::function<bool(const std::exception& error)> is_extra_missing;
  // The chunker as the run's shared-parse callback calls it: the file's path,
  // its text, hash and language, the run's pool and the syntax build's tree of
  // the file's bytes (null: the chunker parses the text itself).
  std::function<std::vector<PreparedChunk>(const std::string& file_path, const std::string& text,
                                           const std::string& file_hash, const std::string& language,
                                           syntax::ParserPool& pool, const syntax::ParseTree* tree)>
      chunk_file;
};

// Registers the semantic library's entry points (none: the library is not available).
void register_semantic_backend(std::optional<SemanticBackend> backend);
// The registered entry points, or null when the semantic library is not available.
std::shared_ptr<const SemanticBackend> bind_semantic_backend();

// The files of `work` whose chunking wants the syntax build's parse tree.
// Throws core::Error when the semantic library is not available.
std::set<std::string> semantic_parse_paths(const SemanticWork& work);

namespace detail {

// Prepare half: the work record, or none after one line on standard error
// (the library is not available, or preparing failed).
std::optional<SemanticWork> prepare_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                                                   const std::optional<std::filesystem::path>& root,
                                                   const std::vector<std::string>& include_prefixes,
                                                   const declstore::SourceManifest* manifest);

// Finish half: true when the vector table was replaced and the report printed;
// false after one line. A missing library throws (it was bound by the prepare half).
bool finish_semantic_stage(SemanticWork& work, const PreparedChunks& prepared_chunks, syntax::ParserPool& pool);

// Both halves for callers that share no syntax build: no manifest, no prepared
// chunks, a fresh parser pool.
bool run_semantic_stage(const std::filesystem::path& repo_path, const std::string& slug,
                        const std::optional<std::filesystem::path>& root = std::nullopt,
                        const std::vector<std::string>& include_prefixes = {});

// Writes the report's lines to standard error.
void print_semantic_report(const SemanticReport& report);

}  // namespace detail
}  // namespace kolvex::pipeline
