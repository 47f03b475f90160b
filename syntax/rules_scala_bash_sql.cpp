// Declaration rules for Scala, Bash and SQL.
#include "syntax/rules.h"

namespace kolvex::syntax {

std::optional<RuleOutcome> rule_scala(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_bash(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

std::optional<RuleOutcome> rule_sql(TSNode /*node*/, std::string_view /*source*/) { return std::nullopt; }

}  // namespace kolvex::syntax
