#include "semantic/prepare.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>

#include "chunker/admission.h"
#include "chunker/chunk.h"
#include "chunker/chunk_file.h"
#include "core/fs.h"
#include "core/text.h"
#include "declstore/capture.h"
#include "platform/config.h"

namespace kolvex::semantic {
namespace {

std::filesystem::path real_path(const std::filesystem::path& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) throw core::os_error(errno, path);
  return std::filesystem::path(buffer);
}

bool is_inside(const std::filesystem::path& directory, const std::filesystem::path& path) {
  const std::string& base = directory.native();
  const std::string& candidate = path.native();
  if (base == "/") return !candidate.empty() && candidate[0] == '/';
  return candidate.size() > base.size() && candidate.compare(0, base.size(), base) == 0 &&
         candidate[base.size()] == '/';
}

std::int64_t working_tree_size(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) throw core::os_error(errno, path);
  return static_cast<std::int64_t>(info.st_size);
}

TableIdentity configured_identity(const SemanticModel& model) {
  auto [query_prefix, doc_prefix] = model.prefixes();
  auto [model_name, model_revision] = model.identity();
  return {std::move(model_name), std::move(model_revision), std::move(query_prefix), std::move(doc_prefix),
          chunker::CONTENT_FORMAT};
}

// The bytes of one walked file, where they were read from and their hash; none
// when the file is not to be read at all.
struct ReadFile {
  std::string bytes;
  std::filesystem::path source_path;
  std::string file_hash;
  std::uint64_t copy_offset = 0;
  std::optional<std::uint64_t> copy_size;
};

std::optional<ReadFile> read_walked_file(const std::filesystem::path& repo_path, const chunker::SourceFile& file,
                                         const std::map<std::string, const declstore::CapturedFile*>& captured) {
  auto it = captured.find(file.rel);
  if (it != captured.end() && it->second->source_path) {
    const declstore::CapturedFile& entry = *it->second;
    std::string bytes = declstore::read_captured_bytes(entry);
    std::string hash = entry.file_hash && !entry.file_hash->empty() ? *entry.file_hash : chunker::hash_file(bytes);
    return ReadFile{std::move(bytes), *entry.source_path, std::move(hash), entry.copy_offset, entry.copy_size};
  }
  std::optional<std::string> bytes = detail::read_repository_file(repo_path, file.path);
  if (!bytes) return std::nullopt;
  std::string hash = chunker::hash_file(*bytes);
  return ReadFile{std::move(*bytes), file.path, std::move(hash)};
}

}  // namespace

namespace detail {

std::optional<std::string> read_repository_file(const std::filesystem::path& repo_path,
                                                const std::filesystem::path& file) {
  std::filesystem::path resolved = real_path(file);
  if (!is_inside(real_path(repo_path), resolved)) return std::nullopt;
  core::UniqueFd fd = core::open_regular_file_nofollow(resolved);
  return core::read_all(fd.get());
}

void check_slug(const std::string& slug) {
  if (!platform::is_normalised_slug(slug)) {
    throw core::ValueError("not a usable repository slug: " + core::quote(slug));
  }
}

}  // namespace detail

SemanticWork prepare_semantic(const std::filesystem::path& repo_path, const std::string& slug,
                              const PrepareOptions& options) {
  detail::check_slug(slug);
  std::shared_ptr<SemanticModel> model = options.model ? options.model : default_semantic_model();
  auto store = std::make_shared<SemanticStore>(platform::lancedb_dir(options.root));
  TableIdentity identity = configured_identity(*model);

  RowsByPath previous;
  std::optional<TableIdentity> stored = store->table_identity(slug);
  if (stored && *stored == identity) previous = store->rows_by_path(slug);

  std::unordered_map<std::string, Vector> vector_by_hash;
  for (const FileRows& file : previous) {
    for (const Row& row : file.rows) {
      vector_by_hash.insert_or_assign(text_column(row, "content_hash"), vector_column(row, "vector"));
    }
  }

  std::map<std::string, const declstore::CapturedFile*> captured;
  if (options.manifest != nullptr) {
    for (const declstore::CapturedFile& entry : options.manifest->files) captured[entry.file_path] = &entry;
  }

  SemanticWork work{.slug = slug, .repo_path = repo_path, .model = model, .store = store, .identity = identity};
  work.vector_by_hash = std::move(vector_by_hash);
  for (const chunker::SourceFile& file : chunker::iter_source_files(repo_path, options.include_prefixes)) {
    const bool forced = chunker::force_included(file.rel, options.include_prefixes);
    if (!forced) {
      if (auto tag = chunker::oversized_file_reason(working_tree_size(file.path))) {
        work.skipped.push_back({file.rel, *tag});
        continue;
      }
    }
    std::optional<ReadFile> read = read_walked_file(repo_path, file, captured);
    if (!read) continue;
    std::string text = core::decode_utf8_replace(read->bytes);
    if (auto tag = chunker::skip_reason(file.rel, text, options.include_prefixes)) {
      work.skipped.push_back({file.rel, *tag});
      continue;
    }
    ++work.admitted;
    const std::vector<Row>* rows = previous.find(file.rel);
    if (rows != nullptr && !rows->empty() && text_column(rows->front(), "file_hash") == read->file_hash) {
      work.carried.insert(work.carried.end(), rows->begin(), rows->end());
      continue;
    }
    work.inputs.push_back({file.rel, std::move(read->source_path), std::move(read->file_hash),
                           chunker::language_for(file.rel).value_or(""), read->copy_offset, read->copy_size});
  }
  return work;
}

std::set<std::string> semantic_parse_paths(const SemanticWork& work) {
  std::set<std::string> paths;
  for (const SemanticInput& input : work.inputs) {
    if (chunker::has_def_node_types(input.language)) paths.insert(input.file_path);
  }
  return paths;
}

}  // namespace kolvex::semantic
