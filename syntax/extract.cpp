#include "syntax/extract.h"

#include <utility>

#include "core/hash.h"
#include "syntax/languages.h"
#include "syntax/records.h"
#include "syntax/walk.h"

namespace kolvex::syntax {

ParsedSyntax extract_file(std::string_view file_path, std::string_view source,
                          std::string_view language, ParserPool& pool,
                          std::optional<ParseTree> tree) {
  std::string identity = grammar_identity(language);
  std::string file_hash = core::sha256_hex(source);

  if (std::optional<std::string> fault = utf8_fault_text(source)) {
    return ParsedSyntax{std::string(file_path), std::move(file_hash), std::string(language),
                        std::move(identity), std::string(STATE_FAILED), std::move(fault),
                        {}, std::nullopt};
  }

  if (!tree) tree = pool.parse(language, source);
  DeclarationWalk walked =
      walk_file_declarations(language, tree->root_node(), source, file_path, file_hash);

  // A damaged tree and declarations left out by the walk's bounds both make the
  // file partial; when both hold, the reasons are joined, the tree's first.
  std::optional<std::string> reason;
  if (tree->has_error()) reason = std::string(PARTIAL_REASON);
  if (walked.bound_reason) {
    reason = reason ? *reason + "; " + *walked.bound_reason : *walked.bound_reason;
  }
  const bool partial = reason.has_value();
  return ParsedSyntax{std::string(file_path),
                      std::move(file_hash),
                      std::string(language),
                      std::move(identity),
                      std::string(partial ? STATE_PARTIAL : STATE_PARSED),
                      std::move(reason),
                      std::move(walked.symbols),
                      std::move(tree)};
}

}  // namespace kolvex::syntax
