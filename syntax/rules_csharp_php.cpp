// Declaration rules for C# and PHP.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_csharp(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_php(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
