// Declaration rules for Scala, Bash and SQL.
//
// Scala: classes, traits, objects, type aliases and package objects (TYPE),
// functions with or without a body (METHOD), package clauses (NAMESPACE; a header
// when written without a body, so it qualifies the rest of the file) and vals
// bound directly to a lambda. Bash: function definitions. SQL: the object created
// by CREATE TABLE / VIEW / MATERIALIZED VIEW / FUNCTION / TYPE / SCHEMA, all TYPE,
// named by the object's own name without its schema.
//
// None of these rules reads the source bytes.
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view SCALA_TYPES[] = {"class_definition", "trait_definition",
                                            "object_definition", "type_definition",
                                            "package_object"};
constexpr std::string_view SCALA_METHODS[] = {"function_definition", "function_declaration"};

// The create statements whose object is named through an `object_reference` child.
constexpr std::string_view SQL_CREATE_WITH_TARGET[] = {
    "create_table", "create_view", "create_materialized_view", "create_function", "create_type"};

// `package a.b` without a body qualifies the declarations after it; `package a.b
// { ... }` is an ordinary scope. The dotted name is one node, taken whole.
std::optional<RuleOutcome> scala_package(TSNode node) {
  std::optional<RuleCandidate> found = candidate(child_by_field(node, "name"), NAMESPACE);
  if (!found) return std::nullopt;
  if (is_absent(child_by_field(node, "body"))) return header(std::move(found));
  return declaration(std::move(found));
}

// `val f = (x: Int) => ...`: a plain identifier pattern bound directly to a lambda.
std::optional<RuleOutcome> scala_lambda_binding(TSNode node) {
  const TSNode pattern = child_by_field(node, "pattern");
  const TSNode value = child_by_field(node, "value");
  if (node_type(pattern) != "identifier" || node_type(value) != "lambda_expression") {
    return std::nullopt;
  }
  return declaration(candidate(pattern, METHOD));
}

// A SQL object's name. When the name is left out (`CREATE TABLE (id INT)`) the
// grammar recovers with an empty identifier that is not itself flagged missing
// (the missing token hides inside it); an empty name is never a declaration.
std::optional<RuleOutcome> sql_declaration(TSNode name) {
  if (!is_absent(name) && ts_node_start_byte(name) == ts_node_end_byte(name)) return std::nullopt;
  return declaration(candidate(name, TYPE));
}

// The created object's name: the reference's `name` child, else its first
// identifier child. A schema or database written before it is not part of it.
std::optional<RuleOutcome> sql_create_with_target(TSNode node) {
  const TSNode reference = child_of_type(node, {"object_reference"});
  if (is_absent(reference)) return std::nullopt;
  TSNode name = child_by_field(reference, "name");
  if (is_absent(name)) name = child_of_type(reference, {"identifier"});
  return sql_declaration(name);
}

}  // namespace

std::optional<RuleOutcome> rule_scala(TSNode node, std::string_view /*source*/) {
  const std::string_view type = node_type(node);
  if (type_in(node, SCALA_TYPES)) return simple(node, "name", TYPE);
  if (type_in(node, SCALA_METHODS)) return simple(node, "name", METHOD);
  if (type == "package_clause") return scala_package(node);
  if (type == "val_definition") return scala_lambda_binding(node);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_bash(TSNode node, std::string_view /*source*/) {
  if (node_type(node) == "function_definition") return simple(node, "name", METHOD);
  return std::nullopt;
}

std::optional<RuleOutcome> rule_sql(TSNode node, std::string_view /*source*/) {
  if (type_in(node, SQL_CREATE_WITH_TARGET)) return sql_create_with_target(node);
  if (node_type(node) == "create_schema") {
    return sql_declaration(child_of_type(node, {"identifier"}));
  }
  return std::nullopt;
}

}  // namespace kolvex::syntax
