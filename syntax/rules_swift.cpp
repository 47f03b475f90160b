// Declaration rules for Swift.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_swift(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
