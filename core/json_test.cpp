#include "core/json.h"

#include <gtest/gtest.h>

#include <limits>

#include "core/error.h"

namespace kolvex::core {
namespace {

// é, U+1F600, U+001F, DEL, "/", quote, backslash, then the short escapes.
const std::string MIXED = "\xC3\xA9\xF0\x9F\x98\x80\x1F\x7F/\"\\\b\f\n\r\t";

TEST(Json, DefaultStyleIsPythonDumps) {
  Json value = {{"b", 1}, {"a", Json::array({1.5, 2, nullptr, true, MIXED})}};
  EXPECT_EQ(dump_json(value),
            R"({"b": 1, "a": [1.5, 2, null, true, "\u00e9\ud83d\ude00\u001f\u007f/\"\\\b\f\n\r\t"]})");
  JsonStyle sorted;
  sorted.sort_keys = true;
  EXPECT_EQ(dump_json(value, sorted),
            R"({"a": [1.5, 2, null, true, "\u00e9\ud83d\ude00\u001f\u007f/\"\\\b\f\n\r\t"], "b": 1})");
}

TEST(Json, CompactStyleLeavesNonAsciiRaw) {
  Json value = {{"b", 1}, {"a", Json::array({1.5, 2, nullptr, true, MIXED.substr(0, 11)})}};
  EXPECT_EQ(dump_json(value, compact_json_style()),
            "{\"b\":1,\"a\":[1.5,2,null,true,\"\xC3\xA9\xF0\x9F\x98\x80\\u001f\x7F/\\\"\\\\\"]}");
  EXPECT_EQ(dump_json(Json::array({"src/a.py", "hash", 0, 12, "TYPE"}), compact_json_style()),
            R"(["src/a.py","hash",0,12,"TYPE"])");
}

TEST(Json, SortKeysUsesCodePointOrder) {
  Json value = {{"\xC3\xA9", 1}, {"Z", 2}, {"a", 3}, {"\xF0\x9F\x98\x80", 4}, {"\xEF\xBD\x81", 5}};
  JsonStyle sorted;
  sorted.sort_keys = true;
  EXPECT_EQ(dump_json(value, sorted), R"({"Z": 2, "a": 3, "\u00e9": 1, "\uff41": 5, "\ud83d\ude00": 4})");
}

TEST(Json, NumbersAsPythonWritesThem) {
  Json value = Json::array({std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN(), -0.0, 1e16, 1e-7, 5.0, -3,
                            std::uint64_t{18446744073709551615ULL}, std::int64_t{-9223372036854775807LL - 1}});
  EXPECT_EQ(dump_json(value),
            "[Infinity, -Infinity, NaN, -0.0, 1e+16, 1e-07, 5.0, -3, 18446744073709551615, -9223372036854775808]");
}

TEST(Json, IndentLikePython) {
  Json value = {{"x", Json::array({1, Json{{"y", Json::array()}}})}, {"z", Json::object()}};
  JsonStyle style;
  style.indent = 2;
  EXPECT_EQ(dump_json(value, style), "{\n  \"x\": [\n    1,\n    {\n      \"y\": []\n    }\n  ],\n  \"z\": {}\n}");
}

TEST(Json, StringLiteralAndParse) {
  EXPECT_EQ(json_string("a\"b"), R"("a\"b")");
  EXPECT_EQ(json_string("\xF0\x9F\x98\x80"), R"("\ud83d\ude00")");
  EXPECT_EQ(json_string("\xF0\x9F\x98\x80", false), "\"\xF0\x9F\x98\x80\"");
  // Plain printable ASCII stands as it is; its edges do not.
  const std::pair<const char*, const char*> literals[] = {
      {"", R"("")"},
      {"src/a b~.py", R"("src/a b~.py")"},
      {"back\\slash", R"("back\\slash")"},
      {"tab\there", R"("tab\there")"},
      {"\x1f", R"("\u001f")"},
      {"\x7f", R"("\u007f")"},
  };
  for (const auto& [text, literal] : literals) EXPECT_EQ(json_string(text), literal) << text;
  EXPECT_EQ(json_string("\x7f", false), "\"\x7f\"");
  const Json parsed = parse_json(R"({"k": [1, 2.5, "\u00e9"], "a": null})");
  EXPECT_EQ(parsed.begin().key(), "k");  // insertion order is kept
  EXPECT_EQ(parsed["k"][2], "\xC3\xA9");
  try {
    parse_json("{\"k\": ");
    FAIL() << "expected ValueError";
  } catch (const ValueError& error) {
    EXPECT_TRUE(error.cause());
  }
}

}  // namespace
}  // namespace kolvex::core
