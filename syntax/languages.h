// Language tables and grammar identity: the curated set of seventeen languages,
// which grammar serves each, which file suffix maps to which language, and the
// digest of everything that decides how a file of a language is read.
//
// The tables are constants; no grammar, runtime or package metadata is touched
// when the library loads. Functions are pure apart from reading the versions of
// the installed distributions (recorded at build time) and are thread-safe.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kolvex::syntax {

// A required grammar runtime or grammar distribution is missing or incompatible.
// Always carries the lower failure as its cause.
class SyntaxDependencyError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "SyntaxDependencyError"; }
};

// A distribution has no installed version (the lower failure under the
// "is not installed" SyntaxDependencyError).
class PackageNotFoundError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "PackageNotFoundError"; }
};

// Enters every grammar identity: raising it changes every identity at once.
inline constexpr int SYNTAX_EXTRACTOR_VERSION = 1;

// The distribution whose declared version is the tree-sitter runtime's.
inline constexpr std::string_view RUNTIME_DISTRIBUTION = "tree-sitter";

// Which grammar serves a language: the distribution whose version is looked up,
// the grammar's binding module and the factory entry point of that module.
struct GrammarSelection {
  std::string_view distribution;
  std::string_view module;
  std::string_view factory;

  bool operator==(const GrammarSelection&) const = default;
};

struct FactoryRow {
  std::string_view language;
  GrammarSelection selection;
};

// The grammar table, in declared order; its keys are the seventeen language names.
inline constexpr std::array<FactoryRow, 17> FACTORIES = {{
    {"python", {"tree-sitter-python", "tree_sitter_python", "language"}},
    {"javascript", {"tree-sitter-javascript", "tree_sitter_javascript", "language"}},
    {"typescript", {"tree-sitter-typescript", "tree_sitter_typescript", "language_typescript"}},
    {"tsx", {"tree-sitter-typescript", "tree_sitter_typescript", "language_tsx"}},
    {"java", {"tree-sitter-java", "tree_sitter_java", "language"}},
    {"kotlin", {"tree-sitter-kotlin", "tree_sitter_kotlin", "language"}},
    {"swift", {"tree-sitter-swift", "tree_sitter_swift", "language"}},
    {"go", {"tree-sitter-go", "tree_sitter_go", "language"}},
    {"ruby", {"tree-sitter-ruby", "tree_sitter_ruby", "language"}},
    {"rust", {"tree-sitter-rust", "tree_sitter_rust", "language"}},
    {"c", {"tree-sitter-c", "tree_sitter_c", "language"}},
    {"cpp", {"tree-sitter-cpp", "tree_sitter_cpp", "language"}},
    {"csharp", {"tree-sitter-c-sharp", "tree_sitter_c_sharp", "language"}},
    {"php", {"tree-sitter-php", "tree_sitter_php", "language_php"}},
    {"scala", {"tree-sitter-scala", "tree_sitter_scala", "language"}},
    {"bash", {"tree-sitter-bash", "tree_sitter_bash", "language"}},
    {"sql", {"tree-sitter-sql", "tree_sitter_sql", "language"}},
}};

struct ExtensionRow {
  std::string_view suffix;
  std::string_view language;
};

// File suffix (with its dot, case-sensitive) to language. ".h" is always c.
inline constexpr std::array<ExtensionRow, 31> LANGUAGE_EXTENSIONS = {{
    {".py", "python"},
    {".js", "javascript"}, {".jsx", "javascript"}, {".mjs", "javascript"}, {".cjs", "javascript"},
    {".ts", "typescript"}, {".mts", "typescript"}, {".cts", "typescript"},
    {".tsx", "tsx"},
    {".java", "java"},
    {".kt", "kotlin"}, {".kts", "kotlin"},
    {".swift", "swift"},
    {".go", "go"},
    {".rb", "ruby"},
    {".rs", "rust"},
    {".c", "c"}, {".h", "c"},
    {".cpp", "cpp"}, {".cc", "cpp"}, {".cxx", "cpp"}, {".hpp", "cpp"}, {".hh", "cpp"}, {".hxx", "cpp"},
    {".cs", "csharp"},
    {".php", "php"},
    {".scala", "scala"}, {".sc", "scala"},
    {".sh", "bash"}, {".bash", "bash"},
    {".sql", "sql"},
}};

// The grammar row of a language. Throws core::ValueError (no cause) for a name
// outside the table: "no grammar selection for language 'x'; expected one of: ...".
GrammarSelection selection(std::string_view language);

// The language of a repository-relative path by its last suffix, or nullopt.
// "/" and "\" both separate directories.
std::optional<std::string_view> language_for_path(std::string_view path);

// The declared version of an installed distribution ("tree-sitter" or a grammar
// distribution of FACTORIES); throws PackageNotFoundError when not installed.
std::string installed_version(std::string_view distribution);

// 64 lower-case hex digits: SHA-256 of the sorted JSON payload naming the
// extractor version, runtime version, distribution, its version and the parser
// selection. Throws the ValueError of `selection`, or SyntaxDependencyError when
// a declared version is missing. Never cached.
std::string grammar_identity(std::string_view language);

}  // namespace kolvex::syntax
