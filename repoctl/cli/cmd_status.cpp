// The status handler: the report on one recorded repository.
#include <cstddef>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/closing.h"
#include "core/error.h"
#include "core/text.h"
#include "declstore/facts.h"
#include "platform/config.h"
#include "platform/registry.h"
#include "repoctl/cli/commands.h"
#include "snapmount/config_cache.h"

namespace kolvex::cli {
namespace {

// Lines of the stored failure text the report shows; the registry keeps it whole.
constexpr std::size_t FAILURE_TAIL_LINES = 20;
constexpr const char* FULL_LOG_LINE = "full log: persisted in the registry (status_stderr column)";

bool has_text(const std::optional<std::string>& value) { return value && !value->empty(); }

// The row of `slug`; the registry is closed before this returns, also when get fails.
std::optional<platform::RegisteredRepo> read_row(const std::string& slug) {
  platform::Registry registry(platform::data_dir() / "registry.db");
  return core::with_closing(registry, [&] { return registry.get(slug); });
}

// The syntax counts of the slug's live snapshot, read through a connection cache,
// or none on any failure: the line only adds information, so nothing published,
// an unreadable database or a damaged facts row leaves it out silently. An
// interruption is not such a failure and passes on.
void print_syntax_counts(const std::string& slug) {
  std::optional<declstore::CoverageCounts> counts;
  try {
    snapmount::IndexConnectionCache cache = snapmount::new_connection_cache();
    try {
      snapmount::SnapshotConnection live = snapmount::get_connection(cache, slug);
      counts = declstore::read_snapshot_facts(live.connection).syntax_counts;
    } catch (...) {
      try {
        cache.close_all();
      } catch (const std::exception&) {
      }
      throw;
    }
    cache.close_all();
  } catch (const std::exception&) {
    return;
  }
  if (!counts) return;  // a legacy snapshot has no counts
  std::cout << "syntax: parsed=" << counts->parsed << " partial=" << counts->partial << " failed=" << counts->failed
            << " skipped=" << counts->skipped << " unsupported=" << counts->unsupported << "\n";
}

}  // namespace

int cmd_status(const Namespace& args) {
  std::string slug;
  try {
    slug = platform::repo_slug(args.slug.value_or(""));
  } catch (const core::ValueError& error) {
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  }
  std::optional<platform::RegisteredRepo> row;
  try {
    row = read_row(slug);
  } catch (const platform::RegistryError& error) {
    // The text names the file and the remedy.
    std::cerr << "error: " << error.what() << std::endl;
    return 1;
  }
  if (!row) {
    std::cerr << "error: no such repo: " << slug << std::endl;
    return 1;
  }

  std::cout << "slug: " << row->slug << "\n"
            << "path: " << row->path << "\n"
            << "language: " << row->language << "\n"
            << "status: " << platform::status_text(row->status) << "\n"
            << "commit: " << (has_text(row->commit_sha) ? *row->commit_sha : "-") << "\n"
            << "last_indexed: " << core::isoformat_utc(row->last_indexed) << "\n"
            << "scipEnabled: " << (row->scip_enabled ? "true" : "false") << "\n"
            << "scipState: " << (row->scip_state ? platform::scip_state_text(*row->scip_state) : "unknown") << "\n";
  if (has_text(row->scip_failure_reason)) std::cout << "scipFailure: " << *row->scip_failure_reason << "\n";
  print_syntax_counts(slug);
  std::cout << "semantic: "
            << (row->semantic_indexed_at ? core::isoformat_utc(*row->semantic_indexed_at) : std::string("-")) << "\n";

  const std::optional<std::string> hint = platform::recovery_for(*row);
  if (has_text(row->status_origin) || has_text(row->status_reason) || hint) {
    std::cout << "origin: " << platform::origin_of(*row) << "\n"
              << "cause: " << (has_text(row->status_reason) ? *row->status_reason : platform::status_text(row->status))
              << "\n";
    if (hint) std::cout << "recovery: " << *hint << "\n";
  }

  if (has_text(row->status_stderr)) {
    std::vector<std::string_view> lines = core::splitlines(*row->status_stderr);
    const std::size_t first = lines.size() > FAILURE_TAIL_LINES ? lines.size() - FAILURE_TAIL_LINES : 0;
    std::cout << "\n";
    for (std::size_t i = first; i < lines.size(); ++i) std::cout << lines[i] << "\n";
    std::cout << FULL_LOG_LINE << "\n";
  }
  detail::flush_stdout();
  return 0;
}

}  // namespace kolvex::cli
