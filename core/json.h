// JSON writers for the exact formats the system stores and hashes.
//
// nlohmann::ordered_json is the value model (members keep insertion order); these
// writers, not nlohmann's dump(), decide the bytes. Python's json.dumps is the
// model: with the default style the output is byte for byte what
// json.dumps(value) prints (", " and ": " separators, every non-ASCII character as
// a lower-case \uXXXX escape, surrogate pairs above U+FFFF, floats in Python's
// repr form). Pure, thread-safe.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kolvex::core {

using Json = nlohmann::ordered_json;

struct JsonStyle {
  std::string item_separator = ", ";
  std::string key_separator = ": ";
  bool ensure_ascii = true;   // escape every non-ASCII character as \uXXXX
  bool sort_keys = false;     // members in code-point order of their keys
  std::optional<int> indent;  // Python's indent=N (items then separate by "," + newline)
};

// json.dumps(value) with the given style. String values must be valid UTF-8.
std::string dump_json(const Json& value, const JsonStyle& style = {});

// Compact form: "," and ":" separators, non-ASCII written raw (ensure_ascii=False).
JsonStyle compact_json_style();

// One JSON string literal, quotes included.
std::string json_string(std::string_view text, bool ensure_ascii = true);

// Parses JSON text; throws ValueError (with the parser's error as cause) on bad input.
Json parse_json(std::string_view text);

}  // namespace kolvex::core
