// Declaration rules for Go.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_go(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
