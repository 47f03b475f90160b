// Declaration rules for JavaScript, TypeScript and TSX.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_javascript(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_typescript(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
