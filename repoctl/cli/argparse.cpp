#include "repoctl/cli/argparse.h"

#include <cmath>
#include <cstdlib>

#include "core/text.h"

namespace kolvex::cli::argparse {
namespace {

// Help layout: text wrapped at this width, help column at this position.
constexpr std::size_t HELP_WIDTH = 78;
constexpr std::size_t HELP_POSITION = 24;

bool is_option(const Argument& argument) { return core::starts_with(argument.name, "-"); }

std::string upper_dest(const Argument& argument) { return core::ascii_upper(argument.dest); }

std::string value_placeholder(const Argument& argument) {
  if (argument.metavar) return *argument.metavar;
  if (!argument.choices.empty()) return "{" + core::join(argument.choices, ",") + "}";
  if (!is_option(argument)) return argument.dest;
  return upper_dest(argument);
}

std::string quoted_choices(const std::vector<std::string>& choices) {
  std::vector<std::string> quoted;
  for (const auto& choice : choices) quoted.push_back(core::quote(choice));
  return core::join(quoted, ", ");
}

std::vector<std::string> subcommand_names(const Program& program) {
  std::vector<std::string> names;
  for (const auto& sub : program.subcommands) names.push_back(sub.name);
  return names;
}

// Greedy word wrap of `text` into lines of at most `width` characters.
std::vector<std::string> wrap(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    start = end + 1;
    if (word.empty()) continue;
    if (!line.empty() && core::code_point_length(line) + 1 + core::code_point_length(word) > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// One entry of a help listing: the invocation, then its help text at the help column.
void append_entry(std::string& out, const std::string& invocation, const std::string& help,
                  std::size_t indent = 2) {
  std::string lead(indent, ' ');
  lead += invocation;
  std::vector<std::string> lines = wrap(help, HELP_WIDTH - HELP_POSITION);
  if (lines.empty()) {
    out += lead + "\n";
    return;
  }
  std::size_t lead_width = core::code_point_length(lead);
  if (lead_width + 2 <= HELP_POSITION) {
    out += lead + std::string(HELP_POSITION - lead_width, ' ') + lines[0] + "\n";
  } else {
    out += lead + "\n" + std::string(HELP_POSITION, ' ') + lines[0] + "\n";
  }
  for (std::size_t i = 1; i < lines.size(); ++i) out += std::string(HELP_POSITION, ' ') + lines[i] + "\n";
}

// The usage parts of a subcommand's arguments: optionals first (flag pairs that
// share a destination as one "[--a | --b]" group), then positionals.
std::pair<std::vector<std::string>, std::vector<std::string>> usage_parts(const Subcommand& sub) {
  std::vector<std::string> optionals = {"[-h]"};
  std::vector<std::string> positionals;
  for (std::size_t i = 0; i < sub.arguments.size(); ++i) {
    const Argument& argument = sub.arguments[i];
    if (!is_option(argument)) {
      positionals.push_back(value_placeholder(argument));
      continue;
    }
    if (argument.action == Action::StoreConst) {
      std::string group = argument.name;
      while (i + 1 < sub.arguments.size() && sub.arguments[i + 1].action == Action::StoreConst &&
             sub.arguments[i + 1].dest == argument.dest) {
        group += " | " + sub.arguments[++i].name;
      }
      optionals.push_back("[" + group + "]");
      continue;
    }
    optionals.push_back("[" + argument.name + " " + value_placeholder(argument) + "]");
  }
  return {optionals, positionals};
}

std::string layout_usage(const std::string& prog, const std::vector<std::string>& optionals,
                         const std::vector<std::string>& positionals) {
  std::string head = "usage: " + prog + " ";
  std::vector<std::string> all = optionals;
  all.insert(all.end(), positionals.begin(), positionals.end());
  std::string flat = head + core::join(all, " ");
  if (core::code_point_length(flat) <= HELP_WIDTH) return flat + "\n";
  // Too long: optionals wrapped under the program name, positionals on their own lines.
  std::string indent(core::code_point_length(head), ' ');
  std::string out = head;
  std::size_t column = core::code_point_length(head);
  bool first = true;
  for (const auto& part : optionals) {
    std::size_t width = core::code_point_length(part);
    if (!first && column + 1 + width > HELP_WIDTH) {
      out += "\n" + indent;
      column = indent.size();
      first = true;
    }
    if (!first) {
      out += " ";
      ++column;
    }
    out += part;
    column += width;
    first = false;
  }
  for (const auto& part : positionals) out += "\n" + indent + part;
  return out + "\n";
}

[[noreturn]] void fail(const std::string& usage, const std::string& prog, const std::string& message) {
  throw ParseExit{2, usage + prog + ": error: " + message + "\n"};
}

// A number as Python's float() reads it, which must then be finite and not
// negative (quiet-period seconds and the like).
std::optional<double> parse_float(const std::string& text) {
  const std::optional<double> value = core::parse_python_float(text);
  if (!value || !std::isfinite(*value) || *value < 0) return std::nullopt;
  return value;
}

// argparse's rule: an element that starts with "-" is an option unless it is a
// lone "-" or reads as a negative number.
bool looks_like_option(const std::string& element) {
  if (element.size() < 2 || element[0] != '-') return false;
  char* end = nullptr;
  std::strtod(element.c_str(), &end);
  return end != element.c_str() + element.size();
}

const Argument* find_option(const Subcommand& sub, const std::string& name) {
  for (const auto& argument : sub.arguments) {
    if (is_option(argument) && argument.name == name) return &argument;
  }
  return nullptr;
}

}  // namespace

std::string format_usage(const Program& program) {
  return layout_usage(program.name, {"[-h]"}, {"{" + core::join(subcommand_names(program), ",") + "} ..."});
}

std::string format_usage(const Program& program, const Subcommand& subcommand) {
  auto [optionals, positionals] = usage_parts(subcommand);
  return layout_usage(program.name + " " + subcommand.name, optionals, positionals);
}

std::string format_help(const Program& program) {
  std::string out = format_usage(program);
  out += "\npositional arguments:\n";
  out += "  {" + core::join(subcommand_names(program), ",") + "}\n";
  for (const auto& sub : program.subcommands) append_entry(out, sub.name, sub.help, 4);
  out += "\noptions:\n";
  append_entry(out, "-h, --help", "show this help message and exit");
  return out;
}

std::string format_help(const Program& program, const Subcommand& subcommand) {
  std::string out = format_usage(program, subcommand);
  bool any_positional = false;
  for (const auto& argument : subcommand.arguments) {
    if (is_option(argument)) continue;
    if (!any_positional) out += "\npositional arguments:\n";
    any_positional = true;
    append_entry(out, value_placeholder(argument), argument.help);
  }
  out += "\noptions:\n";
  append_entry(out, "-h, --help", "show this help message and exit");
  for (std::size_t i = 0; i < subcommand.arguments.size(); ++i) {
    const Argument& argument = subcommand.arguments[i];
    if (!is_option(argument)) continue;
    std::string invocation = argument.name;
    std::string help = argument.help;
    if (argument.action == Action::StoreConst) {
      // Flags sharing a destination are one entry, as in usage: their names,
      // then the help text of the pair once.
      while (i + 1 < subcommand.arguments.size() && subcommand.arguments[i + 1].action == Action::StoreConst &&
             subcommand.arguments[i + 1].dest == argument.dest) {
        const Argument& next = subcommand.arguments[++i];
        invocation += ", " + next.name;
        if (help.empty()) help = next.help;
      }
    } else {
      invocation += " " + value_placeholder(argument);
    }
    append_entry(out, invocation, help);
  }
  return out;
}

ParseResult parse(const Program& program, const std::vector<std::string>& args) {
  const std::string top_usage = format_usage(program);
  std::size_t index = 0;
  // Top level: only the help request may precede the subcommand.
  const Subcommand* sub = nullptr;
  for (; index < args.size(); ++index) {
    const std::string& element = args[index];
    if (element == "-h" || element == "--help") throw ParseExit{0, format_help(program)};
    if (element == "--") continue;
    if (looks_like_option(element)) {
      // Unknown top-level options are reported once the subcommand question is settled.
      continue;
    }
    for (const auto& candidate : program.subcommands) {
      if (candidate.name == element) sub = &candidate;
    }
    if (sub == nullptr) {
      fail(top_usage, program.name,
           "argument command: invalid choice: " + core::quote(element) + " (choose from " +
               quoted_choices(subcommand_names(program)) + ")");
    }
    break;
  }
  if (sub == nullptr) fail(top_usage, program.name, "the following arguments are required: command");

  std::vector<std::string> extras;
  for (std::size_t i = 0; i < index; ++i) {
    if (args[i] != "--") extras.push_back(args[i]);
  }
  ++index;

  const std::string sub_usage = format_usage(program, *sub);
  const std::string sub_prog = program.name + " " + sub->name;
  ParseResult result{sub->name, sub->defaults};
  std::vector<const Argument*> positionals;
  for (const auto& argument : sub->arguments) {
    if (!is_option(argument)) positionals.push_back(&argument);
  }
  std::size_t next_positional = 0;
  bool only_positionals = false;

  auto take_value = [&](const Argument& argument, const std::string& raw) {
    if (!argument.choices.empty()) {
      bool known = false;
      for (const auto& choice : argument.choices) known = known || choice == raw;
      if (!known) {
        fail(sub_usage, sub_prog,
             "argument " + argument.name + ": invalid choice: " + core::quote(raw) + " (choose from " +
                 quoted_choices(argument.choices) + ")");
      }
    }
    if (argument.type == ValueType::Float) {
      auto number = parse_float(raw);
      if (!number) fail(sub_usage, sub_prog, "argument " + argument.name + ": invalid float value: " + core::quote(raw));
      result.values[argument.dest] = *number;
      return;
    }
    if (argument.action == Action::Append) {
      auto found = result.values.find(argument.dest);
      if (found == result.values.end() || !std::holds_alternative<std::vector<std::string>>(found->second)) {
        result.values[argument.dest] = std::vector<std::string>{};
      }
      std::get<std::vector<std::string>>(result.values[argument.dest]).push_back(raw);
      return;
    }
    result.values[argument.dest] = raw;
  };

  for (; index < args.size(); ++index) {
    const std::string& element = args[index];
    if (!only_positionals && element == "--") {
      only_positionals = true;
      continue;
    }
    if (!only_positionals && looks_like_option(element)) {
      if (element == "-h" || element == "--help") throw ParseExit{0, format_help(program, *sub)};
      std::string name = element;
      std::optional<std::string> joined;
      if (auto eq = element.find('='); eq != std::string::npos && core::starts_with(element, "--")) {
        name = element.substr(0, eq);
        joined = element.substr(eq + 1);
      }
      const Argument* argument = find_option(*sub, name);
      if (argument == nullptr) {
        extras.push_back(element);
        continue;
      }
      if (argument->action == Action::StoreConst) {
        if (joined) fail(sub_usage, sub_prog, "argument " + argument->name + ": ignored explicit argument " + core::quote(*joined));
        result.values[argument->dest] = argument->const_value;
        continue;
      }
      if (joined) {
        take_value(*argument, *joined);
        continue;
      }
      if (index + 1 >= args.size() || looks_like_option(args[index + 1]) || args[index + 1] == "--") {
        fail(sub_usage, sub_prog, "argument " + argument->name + ": expected one argument");
      }
      take_value(*argument, args[++index]);
      continue;
    }
    if (next_positional < positionals.size()) {
      take_value(*positionals[next_positional++], element);
    } else {
      extras.push_back(element);
    }
  }
  if (next_positional < positionals.size()) {
    std::vector<std::string> missing;
    for (std::size_t i = next_positional; i < positionals.size(); ++i) missing.push_back(positionals[i]->dest);
    fail(sub_usage, sub_prog, "the following arguments are required: " + core::join(missing, ", "));
  }
  if (!extras.empty()) fail(top_usage, program.name, "unrecognized arguments: " + core::join(extras, " "));
  return result;
}

}  // namespace kolvex::cli::argparse
