#include "repoctl/pipeline/zoekt.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <system_error>

#include "core/fs.h"
#include "core/text.h"
#include "platform/config.h"

namespace kolvex::pipeline {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The part of `file_name` after "<slug>_v<digits>", starting with "."; none when
// the name does not begin that way.
std::optional<std::string_view> after_version(std::string_view slug, std::string_view file_name) {
  if (slug.empty() || !core::starts_with(file_name, slug)) return std::nullopt;
  std::string_view rest = file_name.substr(slug.size());
  if (!core::starts_with(rest, "_v")) return std::nullopt;
  rest.remove_prefix(2);
  std::size_t digits = 0;
  while (digits < rest.size() && is_digit(rest[digits])) ++digits;
  if (digits == 0) return std::nullopt;
  rest.remove_prefix(digits);
  if (!core::starts_with(rest, ".")) return std::nullopt;
  return rest;
}

}  // namespace

bool is_zoekt_shard_of(std::string_view slug, std::string_view file_name) {
  std::optional<std::string_view> rest = after_version(slug, file_name);
  return rest && core::ends_with(*rest, ".zoekt");
}

bool is_zoekt_tmp_shard_of(std::string_view slug, std::string_view file_name) {
  std::optional<std::string_view> rest = after_version(slug, file_name);
  if (!rest) return false;
  std::size_t zoekt = rest->find(".zoekt");
  return zoekt != std::string_view::npos && core::ends_with(rest->substr(zoekt + 6), ".tmp");
}

namespace detail {

Command zoekt_index_cmd(const std::filesystem::path& zoekt_dir, const std::filesystem::path& repo_path) {
  return {"zoekt-git-index", "-index", zoekt_dir.string(), "-incremental=false", "-submodules=false",
          repo_path.string()};
}

std::optional<std::uint64_t> parse_indexed_file_count(std::string_view output) {
  static constexpr std::string_view prefix = "attempting to index ";
  static constexpr std::string_view suffix = " total files";
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  for (std::size_t at = output.find(prefix); at != std::string_view::npos; at = output.find(prefix, at + 1)) {
    std::size_t pos = at + prefix.size();
    std::uint64_t value = 0;
    std::size_t start = pos;
    while (pos < output.size() && is_digit(output[pos])) {
      std::uint64_t digit = static_cast<std::uint64_t>(output[pos] - '0');
      value = value > (max - digit) / 10 ? max : value * 10 + digit;
      ++pos;
    }
    if (pos > start && output.substr(pos, suffix.size()) == suffix) return value;
  }
  return std::nullopt;
}

std::optional<std::string> coverage_shortfall_warning(std::string_view slug, std::int64_t expected,
                                                      std::string_view output) {
  std::optional<std::uint64_t> indexed = parse_indexed_file_count(output);
  if (!indexed || expected < 0 || *indexed >= static_cast<std::uint64_t>(expected)) return std::nullopt;
  return "warning: " + std::string(slug) + " indexed " + std::to_string(*indexed) + " of " + std::to_string(expected) +
         " git-tracked files — searchCode results will be incomplete. Large files (>2MB) and binaries are "
         "skipped by design; a larger gap suggests a problem.";
}

std::vector<std::filesystem::path> sweep_zoekt_tmp_orphans(std::string_view slug,
                                                           const std::optional<std::filesystem::path>& root) {
  std::filesystem::path zoekt_dir = platform::data_dir(root) / ".zoekt";
  if (!std::filesystem::is_directory(zoekt_dir)) return {};
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(zoekt_dir)) {
    std::string name = entry.path().filename().string();
    if (is_zoekt_tmp_shard_of(slug, name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  std::vector<std::filesystem::path> deleted;
  for (const std::string& name : names) {
    std::filesystem::path path = zoekt_dir / name;
    if (::unlink(path.c_str()) == 0) deleted.push_back(std::move(path));
  }
  return deleted;
}

}  // namespace detail
}  // namespace kolvex::pipeline
