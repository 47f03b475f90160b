// Declaration rules for C and C++.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_c(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_cpp(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
