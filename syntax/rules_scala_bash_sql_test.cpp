// Scala, Bash and SQL declaration rules, read through the whole extraction (pool, walk, rule).
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using Case = test::RuleCase<Row>;

TEST(ScalaBashSqlRules, VocabularyExistsInTheGrammars) {
  test::expect_vocabulary(
      "scala",
      {"class_definition", "trait_definition", "object_definition", "type_definition",
       "package_object", "function_definition", "function_declaration", "package_clause",
       "val_definition", "identifier", "lambda_expression"},
      {"name", "body", "pattern", "value"});
  test::expect_vocabulary("bash", {"function_definition"}, {"name"});
  test::expect_vocabulary("sql",
                          {"create_table", "create_view", "create_materialized_view",
                           "create_function", "create_type", "create_schema", "object_reference",
                           "identifier"},
                          {"name"});
}

TEST(ScalaRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"package without a body qualifies the rest of the file",
       "package a.b\n\nclass C\n", {{"a.b", "NAMESPACE", ""}, {"a.b.C", "TYPE", "a.b"}}},
      {"body-less packages chain",
       "package a\npackage b\n\nobject O\n",
       {{"a", "NAMESPACE", ""}, {"a.b", "NAMESPACE", "a"}, {"a.b.O", "TYPE", "a.b"}}},
      {"package with a body is an ordinary scope",
       "package a {\n  class C\n}\nclass D\n",
       {{"a", "NAMESPACE", ""}, {"a.C", "TYPE", "a"}, {"D", "TYPE", ""}}},
      {"val bound to a lambda",
       "object O {\n  val f = (x: Int) => x + 1\n  val g: Int => Int = _ + 1\n"
       "  val (h, k) = (1, 2)\n  var v = (x: Int) => x\n}\n",
       {{"O", "TYPE", ""}, {"O.f", "METHOD", "O"}}},
      {"abstract and concrete defs",
       "trait T {\n  def f: Int\n  def g(x: Int): Int = x\n}\n",
       {{"T", "TYPE", ""}, {"T.f", "METHOD", "T"}, {"T.g", "METHOD", "T"}}},
      {"type alias and package object are types; enums are not",
       "package object po {\n  type Id = Int\n}\nenum Color {\n  case Red\n}\n",
       {{"po", "TYPE", ""}, {"po.Id", "TYPE", "po"}}},
      {"class whose name is an error: members fall to the enclosing scope",
       "class { def f = 1 }\n", {{"f", "METHOD", ""}}},
  };
  for (const Case& c : cases) test::expect_case("scala", c);
}

TEST(BashRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"both function forms", "f() { echo hi; }\nfunction g { true; }\n",
       {{"f", "METHOD", ""}, {"g", "METHOD", ""}}},
      {"function inside a function", "outer() {\n  inner() { :; }\n}\n",
       {{"outer", "METHOD", ""}, {"outer.inner", "METHOD", "outer"}}},
      {"variables, aliases and commands", "X=1\nalias ll='ls -l'\necho $X\nexport Y=2\n", {}},
  };
  for (const Case& c : cases) test::expect_case("bash", c);
}

TEST(SqlRules, DeclarationsOfEachShape) {
  const Case cases[] = {
      {"table; its columns declare nothing", "CREATE TABLE users (id INT, name TEXT);\n",
       {{"users", "TYPE", ""}}},
      {"view; the table it reads declares nothing", "CREATE VIEW v AS SELECT id FROM t;\n",
       {{"v", "TYPE", ""}}},
      {"function, enum type and materialized view",
       "CREATE FUNCTION f(a INT) RETURNS INT AS $$ SELECT 1 $$ LANGUAGE sql;\n"
       "CREATE TYPE mood AS ENUM ('sad', 'ok');\n"
       "CREATE MATERIALIZED VIEW mv AS SELECT 1;\n",
       {{"f", "TYPE", ""}, {"mood", "TYPE", ""}, {"mv", "TYPE", ""}}},
      {"schema", "CREATE SCHEMA s;\n", {{"s", "TYPE", ""}}},
      {"schema-qualified table is named by the object alone",
       "CREATE TABLE s.users (id INT);\n", {{"users", "TYPE", ""}}},
      {"other statements",
       "CREATE INDEX i ON t (a);\nALTER TABLE t ADD COLUMN b INT;\nINSERT INTO t VALUES (1);\n"
       "SELECT a FROM t;\n",
       {}},
      {"create statements without a name",
       "CREATE TABLE;\nCREATE TABLE (id INT);\nCREATE SCHEMA ;\n"
       "CREATE FUNCTION (a INT) RETURNS INT AS $$ SELECT 1 $$ LANGUAGE sql;\n",
       {}},
  };
  for (const Case& c : cases) test::expect_case("sql", c);
}

TEST(ScalaRules, PackageHeaderIsTheParentOfWhatFollows) {
  const auto found = test::extract_rows("scala", "package a.b\n\nclass C\n");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].name, "a.b");
  // The header spans only its own line; the class keeps its own span.
  EXPECT_EQ(found[0].declaration, "package a.b");
  EXPECT_EQ(found[1].declaration, "class C");
}

}  // namespace
}  // namespace kolvex::syntax
