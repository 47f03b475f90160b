// `scip`: a stand-in for the SCIP command-line tool where the real one cannot be
// installed. It answers `--version` and converts an index with `expt-convert`.
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/scip/convert.h"

namespace {

// The version whose reading of typed ranges the converter matches, which is what
// the indexing pipeline's version gate asks for.
constexpr std::string_view VERSION_TEXT =
    "scip version v0.9.0 (kolvex stand-in: supports only --version and expt-convert)";
constexpr std::string_view USAGE = "usage: scip --version\n       scip expt-convert --output <db> <index.scip>";

int usage_error(std::string_view message) {
  std::cerr << "scip: " << message << "\n" << USAGE << "\n";
  return 2;
}

int expt_convert(const std::vector<std::string>& args) {
  std::optional<std::string> output;
  std::optional<std::string> index;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--output") {
      if (i + 1 == args.size()) return usage_error("--output needs a value");
      output = args[++i];
    } else if (arg.starts_with("--output=")) {
      output = arg.substr(std::string_view("--output=").size());
    } else if (arg.starts_with("-") && arg != "-") {
      return usage_error("unknown option " + arg);
    } else if (index) {
      return usage_error("more than one index file given");
    } else {
      index = arg;
    }
  }
  if (!output || output->empty()) return usage_error("expt-convert needs --output <db>");
  if (!index) return usage_error("expt-convert needs an index file");
  try {
    kolvex::tools::convert_index_file(*index, *output);
  } catch (const std::exception& error) {
    std::cerr << "scip expt-convert: " << error.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return usage_error("missing command");
  if (args[0] == "--version" || args[0] == "version") {
    std::cout << VERSION_TEXT << "\n";
    return 0;
  }
  if (args[0] == "expt-convert") return expt_convert({args.begin() + 1, args.end()});
  return usage_error("unsupported command " + args[0] + " (this stand-in only converts)");
}
