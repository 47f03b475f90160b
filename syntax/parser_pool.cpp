#include "syntax/parser_pool.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <string>

#include "core/text.h"
#include "syntax/grammar_loader.h"
#include "syntax/languages.h"
#include "syntax/testing_state.h"

namespace kolvex::syntax {

namespace {

// The runtime addresses bytes with 32-bit offsets.
constexpr std::uint64_t MAX_SOURCE_BYTES = std::numeric_limits<std::uint32_t>::max();

void bind_runtime(std::string_view language) {
  // The runtime is linked into this library; only the test seam can withhold it.
  if (testing_state::runtime_unbindable()) {
    try {
      throw core::RuntimeError("the tree-sitter runtime library cannot be bound");
    } catch (const core::RuntimeError&) {
      throw SyntaxDependencyError("tree-sitter runtime is not installed (required for language " +
                                      core::quote(language) + ")",
                                  std::current_exception());
    }
  }
}

}  // namespace

ParserPool::ParserPool() = default;
ParserPool::~ParserPool() = default;
ParserPool::ParserPool(ParserPool&&) noexcept = default;
ParserPool& ParserPool::operator=(ParserPool&&) noexcept = default;

ParseTree ParserPool::parse(std::string_view language, std::string_view source) {
  auto found = parsers_.find(language);
  if (found == parsers_.end()) {
    OwnedParser built = build_parser(language);
    found = parsers_.emplace(std::string(language), std::move(built)).first;
  }
  if (source.size() > MAX_SOURCE_BYTES) {
    throw core::ValueError("source of " + std::to_string(source.size()) +
                           " bytes is too large to parse (the limit is 4 GiB)");
  }
  TSParser* parser = found->second.get();
  TSTree* tree = ts_parser_parse_string(parser, nullptr, source.data(),
                                        static_cast<std::uint32_t>(source.size()));
  if (tree == nullptr) {
    // A parse that stopped early leaves state behind for resumption; drop it.
    ts_parser_reset(parser);
    throw core::RuntimeError("tree-sitter produced no tree for a " + core::quote(language) +
                             " source of " + std::to_string(source.size()) + " bytes");
  }
  return ParseTree(tree);
}

ParserPool::OwnedParser ParserPool::build_parser(std::string_view language) {
  const GrammarSelection row = selection(language);
  bind_runtime(language);

  std::string version;
  try {
    version = installed_version(row.distribution);
  } catch (const PackageNotFoundError&) {
    throw SyntaxDependencyError("grammar distribution " + core::quote(row.distribution) +
                                    " (language " + core::quote(language) + ") is not installed",
                                std::current_exception());
  }

  try {
    const TSLanguage* grammar = load_grammar(language);
    OwnedParser parser(ts_parser_new());
    if (!ts_parser_set_language(parser.get(), grammar)) {
      throw GrammarLoadError("Incompatible Language version " +
                             std::to_string(ts_language_abi_version(grammar)) +
                             ". Must be between " +
                             std::to_string(TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION) + " and " +
                             std::to_string(TREE_SITTER_LANGUAGE_VERSION));
    }
    return parser;
  } catch (const GrammarLoadError& error) {
    throw SyntaxDependencyError("grammar " + std::string(row.distribution) + "==" + version +
                                    " for language " + core::quote(language) +
                                    " failed to load via " + std::string(row.module) + "." +
                                    std::string(row.factory) + "(): " + error.message(),
                                std::current_exception());
  }
}

}  // namespace kolvex::syntax
