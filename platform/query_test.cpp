#include "platform/query.h"

#include <gtest/gtest.h>

namespace kolvex::platform {
namespace {

TEST(RelationshipDataPresent, AnswersFromTheRelationshipsColumn) {
  struct Case {
    std::string name;
    std::string setup;
    bool expected;
  };
  const Case cases[] = {
      {"no global_symbols table", "", false},
      {"no relationships column",
       "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT);"
       "INSERT INTO global_symbols (symbol) VALUES ('a');",
       false},
      {"column without rows", "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT, relationships BLOB);",
       false},
      {"only NULL values",
       "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT, relationships BLOB);"
       "INSERT INTO global_symbols (symbol, relationships) VALUES ('a', NULL), ('b', NULL);",
       false},
      {"only empty values",
       "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT, relationships BLOB);"
       "INSERT INTO global_symbols (symbol, relationships) VALUES ('a', x''), ('b', NULL);",
       false},
      {"one value",
       "CREATE TABLE global_symbols (id INTEGER PRIMARY KEY, symbol TEXT, relationships BLOB);"
       "INSERT INTO global_symbols (symbol, relationships) VALUES ('a', NULL), ('b', x'28b52ffd00');",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto connection = core::Connection::open_memory();
    if (!c.setup.empty()) connection.exec(c.setup);
    EXPECT_EQ(relationship_data_present(connection), c.expected);

    // Inside the caller's open transaction: answers the same and leaves it open and usable.
    connection.begin();
    connection.exec("CREATE TABLE scratch (x INTEGER)");
    EXPECT_EQ(relationship_data_present(connection), c.expected);
    EXPECT_TRUE(connection.in_transaction());
    connection.exec("INSERT INTO scratch VALUES (1)");
    connection.commit();
    EXPECT_EQ(connection.query_int("SELECT COUNT(*) FROM scratch"), 1);
  }
}

}  // namespace
}  // namespace kolvex::platform
