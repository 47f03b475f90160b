// Entry point of the `kolvex` program.
//
// Ctrl+C, SIGTERM and SIGHUP set a flag that long operations look at; the
// interruption unwinds the run (external tools are stopped, the scratch
// directory is removed, the registry row stays "indexing") and the process then
// ends by the signal that arrived, so its parent sees how it ended.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/page_memory.h"
#include "platform/registry_error.h"
#include "repoctl/cli/commands.h"

int main(int argc, char** argv) {
  kolvex::core::use_page_memory();  // before anything starts SQLite
  kolvex::core::install_interrupt_handler();
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return kolvex::cli::kolvex_main(args);
  } catch (const kolvex::core::Interrupted&) {
    std::cout.flush();
    const int number = kolvex::core::interrupt_signal() != 0 ? kolvex::core::interrupt_signal() : SIGINT;
    std::signal(number, SIG_DFL);
    std::raise(number);
    return 128 + number;
  } catch (const std::exception& error) {
    // Registry and lock-directory trouble that a handler let through (forget's,
    // the install offer's) is the user's to mend: its text says how.
    if (const auto* trouble = dynamic_cast<const kolvex::platform::RegistryError*>(&error)) {
      std::cerr << "error: " << trouble->what() << std::endl;
      return 1;
    }
    // No handler expected this error: report it and fail.
    std::cerr << "kolvex: unexpected " << kolvex::core::error_type_name(error) << ": " << error.what()
              << std::endl;
    return 1;
  }
}
