#include "semantic/row.h"

#include <gtest/gtest.h>

namespace kolvex::semantic {
namespace {

TEST(RowTest, MakeRowPutsTheFifteenColumnsInOrder) {
  Row row = make_row(RowFields{"id", "ch", "fh", "a.py", 3, 9, "", "python", "text", {0.6f, 0.8f}, "m", "r",
                               "q: ", "d: ", 2});
  ASSERT_EQ(row.columns.size(), ROW_COLUMNS.size());
  for (std::size_t i = 0; i < ROW_COLUMNS.size(); ++i) EXPECT_EQ(row.columns[i].first, ROW_COLUMNS[i]);
  EXPECT_EQ(text_column(row, "file_path"), "a.py");
  EXPECT_EQ(integer_column(row, "end_line"), 9);
  EXPECT_EQ(text_column(row, "symbol_name"), "");
  EXPECT_EQ(vector_column(row, "vector"), (Vector{0.6f, 0.8f}));
  EXPECT_EQ(integer_column(row, "content_format"), 2);
}

TEST(RowTest, MissingColumnsAndWrongKindsAreErrors) {
  Row row;
  row.set("start_line", std::int64_t{4});
  row.set("file_path", std::string("a.py"));
  row.set("start_line", std::int64_t{5});  // replaces, keeps the position
  ASSERT_EQ(row.columns.size(), 2u);
  EXPECT_EQ(row.columns[0].first, "start_line");
  EXPECT_EQ(integer_column(row, "start_line"), 5);

  try {
    text_column(row, "model_name");
    FAIL() << "no error";
  } catch (const KeyError& error) {
    EXPECT_STREQ(error.what(), "'model_name'");
  }
  try {
    integer_column(row, "file_path");
    FAIL() << "no error";
  } catch (const core::ValueError& error) {
    EXPECT_STREQ(error.what(), "column 'file_path' holds text, not integer");
  }
  EXPECT_EQ(optional_text_column(row, "query_prefix"), std::nullopt);
  EXPECT_EQ(optional_integer_column(row, "start_line"), 5);
  EXPECT_THROW(optional_integer_column(row, "file_path"), core::ValueError);
}

}  // namespace
}  // namespace kolvex::semantic
