// Entry point of the `kolvex` program.
//
// Ctrl+C sets a flag that long operations look at; the interruption unwinds the
// run (the scratch directory is removed, the registry row stays "indexing") and
// the process then ends by SIGINT itself, so its parent sees the interruption.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "core/error.h"
#include "repoctl/cli/commands.h"
#include "repoctl/pipeline/index_run_internal.h"

int main(int argc, char** argv) {
  kolvex::core::install_interrupt_handler();
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return kolvex::cli::kolvex_main(args);
  } catch (const kolvex::core::Interrupted&) {
    std::cout.flush();
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    return 130;
  } catch (const std::exception& error) {
    // No handler expected this error: report it and fail.
    std::cerr << "kolvex: unexpected " << kolvex::pipeline::detail::error_type_name(error) << ": " << error.what()
              << std::endl;
    return 1;
  }
}
