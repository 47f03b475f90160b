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
#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

enum ScalaType : TypeIndex {
  SC_CLASS_DEFINITION,
  SC_TRAIT_DEFINITION,
  SC_OBJECT_DEFINITION,
  SC_TYPE_DEFINITION,
  SC_PACKAGE_OBJECT,
  SC_FUNCTION_DEFINITION,
  SC_FUNCTION_DECLARATION,
  SC_PACKAGE_CLAUSE,
  SC_VAL_DEFINITION,
  SC_IDENTIFIER,
  SC_LAMBDA_EXPRESSION,
};
constexpr std::string_view SCALA_TYPES[] = {
    "class_definition",    "trait_definition",     "object_definition", "type_definition",
    "package_object",      "function_definition",  "function_declaration",
    "package_clause",      "val_definition",       "identifier",        "lambda_expression"};
enum ScalaField : std::size_t { SC_NAME, SC_BODY, SC_PATTERN, SC_VALUE };
constexpr std::string_view SCALA_FIELDS[] = {"name", "body", "pattern", "value"};

enum BashType : TypeIndex { SH_FUNCTION_DEFINITION };
constexpr std::string_view BASH_TYPES[] = {"function_definition"};
enum BashField : std::size_t { SH_NAME };
constexpr std::string_view BASH_FIELDS[] = {"name"};

// The create statements whose object is named through an `object_reference` child.
enum SqlType : TypeIndex {
  SQL_CREATE_TABLE,
  SQL_CREATE_VIEW,
  SQL_CREATE_MATERIALIZED_VIEW,
  SQL_CREATE_FUNCTION,
  SQL_CREATE_TYPE,
  SQL_CREATE_SCHEMA,
  SQL_OBJECT_REFERENCE,
  SQL_IDENTIFIER,
};
constexpr std::string_view SQL_TYPES[] = {
    "create_table", "create_view",   "create_materialized_view", "create_function",
    "create_type",  "create_schema", "object_reference",         "identifier"};
enum SqlField : std::size_t { SQL_NAME };
constexpr std::string_view SQL_FIELDS[] = {"name"};

}  // namespace

// Declared in rules.h: the walk asks the rule only about nodes of these types.
const NodeVocabulary SCALA_RULE_VOCABULARY(SCALA_TYPES, SCALA_FIELDS);
const NodeVocabulary BASH_RULE_VOCABULARY(BASH_TYPES, BASH_FIELDS);
const NodeVocabulary SQL_RULE_VOCABULARY(SQL_TYPES, SQL_FIELDS);

namespace {

// `package a.b` without a body qualifies the declarations after it; `package a.b
// { ... }` is an ordinary scope. The dotted name is one node, taken whole.
std::optional<RuleOutcome> scala_package(const ResolvedVocabulary& v, TSNode node) {
  std::optional<RuleCandidate> found = candidate(v.child(node, SC_NAME), NAMESPACE);
  if (!found) return std::nullopt;
  if (is_absent(v.child(node, SC_BODY))) return header(std::move(found));
  return declaration(std::move(found));
}

// `val f = (x: Int) => ...`: a plain identifier pattern bound directly to a lambda.
std::optional<RuleOutcome> scala_lambda_binding(const ResolvedVocabulary& v, TSNode node) {
  const TSNode pattern = v.child(node, SC_PATTERN);
  const TSNode value = v.child(node, SC_VALUE);
  if (!v.is(pattern, SC_IDENTIFIER) || !v.is(value, SC_LAMBDA_EXPRESSION)) return std::nullopt;
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
std::optional<RuleOutcome> sql_create_with_target(const ResolvedVocabulary& v, TSNode node) {
  const TSNode reference = v.child_in(node, mask_of({SQL_OBJECT_REFERENCE}));
  if (is_absent(reference)) return std::nullopt;
  TSNode name = v.child(reference, SQL_NAME);
  if (is_absent(name)) name = v.child_in(reference, mask_of({SQL_IDENTIFIER}));
  return sql_declaration(name);
}

}  // namespace

std::optional<RuleOutcome> rule_scala(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = SCALA_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case SC_CLASS_DEFINITION:
    case SC_TRAIT_DEFINITION:
    case SC_OBJECT_DEFINITION:
    case SC_TYPE_DEFINITION:
    case SC_PACKAGE_OBJECT: return declaration(candidate(v.child(node, SC_NAME), TYPE));
    case SC_FUNCTION_DEFINITION:
    case SC_FUNCTION_DECLARATION: return declaration(candidate(v.child(node, SC_NAME), METHOD));
    case SC_PACKAGE_CLAUSE: return scala_package(v, node);
    case SC_VAL_DEFINITION: return scala_lambda_binding(v, node);
    default: return std::nullopt;
  }
}

std::optional<RuleOutcome> rule_bash(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = BASH_RULE_VOCABULARY.of(node);
  if (v.is(node, SH_FUNCTION_DEFINITION)) {
    return declaration(candidate(v.child(node, SH_NAME), METHOD));
  }
  return std::nullopt;
}

std::optional<RuleOutcome> rule_sql(TSNode node, std::string_view /*source*/) {
  if (ts_node_is_null(node)) return std::nullopt;
  const ResolvedVocabulary& v = SQL_RULE_VOCABULARY.of(node);
  switch (v.type(node)) {
    case SQL_CREATE_TABLE:
    case SQL_CREATE_VIEW:
    case SQL_CREATE_MATERIALIZED_VIEW:
    case SQL_CREATE_FUNCTION:
    case SQL_CREATE_TYPE: return sql_create_with_target(v, node);
    case SQL_CREATE_SCHEMA:
      return sql_declaration(v.child_in(node, mask_of({SQL_IDENTIFIER})));
    default: return std::nullopt;
  }
}

}  // namespace kolvex::syntax
