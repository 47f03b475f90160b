// Declaration rules for Java and Kotlin.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_java(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_kotlin(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
