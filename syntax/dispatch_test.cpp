// Every language reaches its own rule: a small, ordinary file of each of the
// seventeen languages, picked by its path, parses cleanly and yields the
// declarations its rule recognises.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "syntax/rule_test_support.h"

namespace kolvex::syntax {
namespace {

using test::Row;
using ::testing::Contains;

struct Sample {
  const char* path;
  const char* language;
  const char* source;
  std::vector<Row> expected;  // each must be among the file's declarations
};

const Sample SAMPLES[] = {
    {"app/models.py", "python",
     "import dataclasses\n\n\n@dataclasses.dataclass\nclass User:\n    name: str\n\n"
     "    def greet(self) -> str:\n        return f\"hi {self.name}\"\n",
     {{"User", "TYPE", ""}, {"User.greet", "METHOD", "User"}}},
    {"web/src/format.js", "javascript",
     "import { pad } from './pad.js';\n\nexport function formatPrice(cents) {\n"
     "  return `$${pad(cents / 100)}`;\n}\n",
     {{"formatPrice", "METHOD", ""}}},
    {"web/src/store.ts", "typescript",
     "export interface Item { id: number; }\n\nexport class Store {\n"
     "  private items: Item[] = [];\n  add(item: Item): void { this.items.push(item); }\n}\n",
     {{"Store", "TYPE", ""}, {"Store.add", "METHOD", "Store"}}},
    {"web/src/Button.tsx", "tsx",
     "import React from 'react';\n\nexport function Button(props: { label: string }) {\n"
     "  return <button>{props.label}</button>;\n}\n",
     {{"Button", "METHOD", ""}}},
    {"src/main/java/com/acme/Greeter.java", "java",
     "package com.acme;\n\npublic class Greeter {\n"
     "    public String greet(String name) { return \"Hello, \" + name; }\n}\n",
     {{"com.acme.Greeter", "TYPE", "com.acme"},
      {"com.acme.Greeter.greet", "METHOD", "com.acme.Greeter"}}},
    {"app/src/main/kotlin/Repo.kt", "kotlin",
     "package com.acme\n\nclass Repo {\n    fun find(id: Int): String = \"x$id\"\n}\n",
     {{"com.acme.Repo", "TYPE", "com.acme"}, {"com.acme.Repo.find", "METHOD", "com.acme.Repo"}}},
    {"Sources/App/Counter.swift", "swift",
     "import Foundation\n\nstruct Counter {\n    var count = 0\n"
     "    mutating func increment() { count += 1 }\n}\n",
     {{"Counter", "TYPE", ""}, {"Counter.increment", "METHOD", "Counter"}}},
    {"cmd/server/main.go", "go",
     "package main\n\nimport \"fmt\"\n\ntype Server struct{ port int }\n\n"
     "func (s *Server) Start() { fmt.Println(s.port) }\n",
     {{"main", "NAMESPACE", ""}, {"main.Server", "TYPE", "main"},
      {"main.Server.Start", "METHOD", "main"}}},
    {"lib/billing/invoice.rb", "ruby",
     "module Billing\n  class Invoice\n    def total\n      items.sum(&:price)\n    end\n  end\nend\n",
     {{"Billing", "TYPE", ""}, {"Billing.Invoice", "TYPE", "Billing"},
      {"Billing.Invoice.total", "METHOD", "Billing.Invoice"}}},
    {"src/geometry.rs", "rust",
     "use std::fmt;\n\npub struct Point { x: f64, y: f64 }\n\nimpl Point {\n"
     "    pub fn norm(&self) -> f64 { (self.x * self.x + self.y * self.y).sqrt() }\n}\n",
     {{"Point", "TYPE", ""}, {"Point.norm", "METHOD", ""}}},
    {"src/list.c", "c",
     "#include <stdlib.h>\n\nstruct list { int value; struct list *next; };\n\n"
     "int list_length(const struct list *l) {\n  int n = 0;\n"
     "  for (; l; l = l->next) n++;\n  return n;\n}\n",
     {{"list", "TYPE", ""}, {"list_length", "METHOD", ""}}},
    {"src/shape.hpp", "cpp",
     "#pragma once\n\nnamespace geo {\nclass Shape {\n public:\n"
     "  virtual ~Shape() = default;\n  virtual double area() const = 0;\n};\n}  // namespace geo\n",
     {{"geo", "NAMESPACE", ""}, {"geo.Shape", "TYPE", "geo"},
      {"geo.Shape.area", "METHOD", "geo.Shape"}}},
    {"src/Services/Mailer.cs", "csharp",
     "using System;\n\nnamespace Acme.Services;\n\npublic class Mailer\n{\n"
     "    public void Send(string to) { Console.WriteLine(to); }\n}\n",
     {{"Acme.Services", "NAMESPACE", ""}, {"Acme.Services.Mailer", "TYPE", "Acme.Services"},
      {"Acme.Services.Mailer.Send", "METHOD", "Acme.Services.Mailer"}}},
    {"src/Models/User.php", "php",
     "<?php\n\nnamespace App\\Models;\n\nclass User\n{\n"
     "    public function fullName(): string { return $this->first . ' ' . $this->last; }\n}\n",
     {{"App\\Models", "NAMESPACE", ""}, {"App\\Models.User", "TYPE", "App\\Models"},
      {"App\\Models.User.fullName", "METHOD", "App\\Models.User"}}},
    {"src/main/scala/acme/Stats.scala", "scala",
     "package acme\n\nobject Stats {\n  def mean(xs: Seq[Double]): Double = xs.sum / xs.size\n}\n",
     {{"acme", "NAMESPACE", ""}, {"acme.Stats", "TYPE", "acme"},
      {"acme.Stats.mean", "METHOD", "acme.Stats"}}},
    {"scripts/deploy.sh", "bash",
     "#!/usr/bin/env bash\nset -euo pipefail\n\nlog() {\n  echo \"[deploy] $*\"\n}\n\n"
     "log \"starting\"\n",
     {{"log", "METHOD", ""}}},
    {"db/schema.sql", "sql",
     "CREATE TABLE accounts (\n  id BIGINT PRIMARY KEY,\n  email TEXT NOT NULL\n);\n\n"
     "CREATE VIEW active_accounts AS SELECT id FROM accounts;\n",
     {{"accounts", "TYPE", ""}, {"active_accounts", "TYPE", ""}}},
};

TEST(Dispatch, EveryLanguageReachesItsRule) {
  ASSERT_EQ(std::size(SAMPLES), 17u);
  ParserPool pool;
  for (const Sample& sample : SAMPLES) {
    SCOPED_TRACE(sample.path);
    EXPECT_EQ(language_for_path(sample.path), std::optional<std::string_view>(sample.language));
    const ParsedSyntax parsed = extract_file(sample.path, sample.source, sample.language, pool);
    EXPECT_EQ(parsed.state, "parsed");
    std::vector<Row> found;
    for (const test::SymbolRow& row : test::extract_rows(sample.language, sample.source)) {
      found.push_back(Row{row.qualified_name, row.kind, row.parent});
    }
    for (const Row& expected : sample.expected) EXPECT_THAT(found, Contains(expected));
  }
}

}  // namespace
}  // namespace kolvex::syntax
