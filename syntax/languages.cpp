#include "syntax/languages.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "build_info.h"
#include "core/hash.h"
#include "core/json.h"
#include "core/text.h"
#include "syntax/records.h"
#include "syntax/testing_state.h"

namespace kolvex::syntax {

namespace {

std::string known_languages() {
  std::vector<std::string> names;
  for (const FactoryRow& row : FACTORIES) names.emplace_back(row.language);
  std::sort(names.begin(), names.end());
  return core::join(names, ", ");
}

}  // namespace

GrammarSelection selection(std::string_view language) {
  for (const FactoryRow& row : FACTORIES) {
    if (row.language == language) return row.selection;
  }
  throw core::ValueError("no grammar selection for language " + core::quote(language) +
                         "; expected one of: " + known_languages());
}

std::optional<std::string_view> language_for_path(std::string_view path) {
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::size_t separator = path.find_last_of("/\\");
  if (separator != std::string_view::npos && dot < separator) return std::nullopt;
  const std::string_view suffix = path.substr(dot);
  for (const ExtensionRow& row : LANGUAGE_EXTENSIONS) {
    if (row.suffix == suffix) return row.language;
  }
  return std::nullopt;
}

std::string installed_version(std::string_view distribution) {
  testing_state::count_version_lookup();
  if (std::optional<std::optional<std::string>> overridden =
          testing_state::version_override(distribution)) {
    if (*overridden) return **overridden;
  } else {
    for (const auto& row : build_info::PACKAGE_VERSIONS) {
      if (row.distribution == distribution) return std::string(row.version);
    }
  }
  throw PackageNotFoundError("No package metadata was found for " + std::string(distribution));
}

std::string grammar_identity(std::string_view language) {
  const GrammarSelection row = selection(language);
  std::string runtime_version;
  std::string distribution_version;
  try {
    runtime_version = installed_version(RUNTIME_DISTRIBUTION);
    distribution_version = installed_version(row.distribution);
  } catch (const PackageNotFoundError&) {
    throw SyntaxDependencyError("grammar distribution " + core::quote(row.distribution) +
                                    " (language " + core::quote(language) + ") is not installed",
                                std::current_exception());
  }
  // The payload is written directly as the sorted JSON object (keys in code-point
  // order, Python's separators, non-ASCII escaped): building a JSON value and
  // serialising it cost more than parsing a small file.
  std::string payload = "{\"distribution\": ";
  payload += core::json_string(row.distribution, /*ensure_ascii=*/true);
  payload += ", \"distribution_version\": ";
  payload += core::json_string(distribution_version, /*ensure_ascii=*/true);
  payload += ", \"extractor_version\": ";
  payload += std::to_string(SYNTAX_EXTRACTOR_VERSION);
  payload += ", \"parser_selection\": ";
  payload += core::json_string(std::string(row.module) + "." + std::string(row.factory),
                         /*ensure_ascii=*/true);
  payload += ", \"runtime_version\": ";
  payload += core::json_string(runtime_version, /*ensure_ascii=*/true);
  payload += "}";
  return core::sha256_hex(payload);
}

}  // namespace kolvex::syntax
