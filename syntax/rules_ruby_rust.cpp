// Declaration rules for Ruby and Rust.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_ruby(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_rust(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
