// A small command-line parser in the manner of Python's argparse: a program with
// required subcommands, positional arguments, options taking one value (joined by
// "=" or as the next argument), repeatable options, constant-storing flag pairs,
// choices and floating-point values, and generated usage and help texts.
//
// Parsing either yields the values by destination or ends with a ParseExit that
// says what to print where and with which status (help: standard output, 0; usage
// error: standard error, 2). Long options must be written in full (no prefixes).
//
// Parsers are plain values built per invocation; not shared between threads.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kolvex::cli::argparse {

enum class Action {
  Positional,   // one required value
  Store,        // option with one value
  Append,       // option with one value, repeatable, values collected in order
  StoreConst,   // flag storing a constant (the last one given wins)
};

enum class ValueType { Text, Float };

struct Argument {
  std::string name;  // "path" for a positional, "--slug" for an option
  std::string dest;
  Action action = Action::Store;
  ValueType type = ValueType::Text;
  std::vector<std::string> choices;
  std::optional<std::string> metavar;
  std::string help;
  bool const_value = false;  // StoreConst
  // Flags sharing one destination are shown as one mutually exclusive group in usage.
};

using Value = std::variant<std::string, std::vector<std::string>, bool, double>;
using Values = std::map<std::string, Value>;

struct Subcommand {
  std::string name;
  std::string help;
  std::vector<Argument> arguments;
  Values defaults;  // set when this subcommand is chosen, unless an argument sets them
};

struct Program {
  std::string name;
  std::vector<Subcommand> subcommands;
};

struct ParseResult {
  std::string command;
  Values values;
};

// Thrown by parse(): print `text` (standard output when status is 0, else standard
// error) and end with `status`.
struct ParseExit {
  int status;
  std::string text;
};

ParseResult parse(const Program& program, const std::vector<std::string>& args);

std::string format_usage(const Program& program);
std::string format_usage(const Program& program, const Subcommand& subcommand);
std::string format_help(const Program& program);
std::string format_help(const Program& program, const Subcommand& subcommand);

}  // namespace kolvex::cli::argparse
