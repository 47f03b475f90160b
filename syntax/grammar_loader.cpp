#include "syntax/grammar_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>

#include "build_info.h"
#include "syntax/testing_state.h"

namespace kolvex::syntax {

namespace {

constexpr const char* GRAMMAR_DIR_VARIABLE = "KOLVEX_GRAMMAR_DIR";
// Where an installed executable finds the modules: <prefix>/bin/../lib/kolvex/grammars.
constexpr const char* INSTALLED_RELATIVE_DIR = "../lib/kolvex/grammars";

// Language names whose module is recorded under another key at build time.
struct ModuleAlias {
  std::string_view language;
  std::string_view module_key;
};
constexpr ModuleAlias MODULE_ALIASES[] = {{"csharp", "c-sharp"}};

std::string_view module_key(std::string_view language) {
  for (const ModuleAlias& alias : MODULE_ALIASES) {
    if (alias.language == language) return alias.module_key;
  }
  return language;
}

const build_info::GrammarModule* module_row(std::string_view language) {
  const std::string_view key = module_key(language);
  for (const auto& row : build_info::GRAMMAR_MODULES) {
    if (row.language == key) return &row;
  }
  return nullptr;
}

std::filesystem::path executable_directory() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  return exe.parent_path();
}

bool directory_exists(const std::filesystem::path& path) {
  std::error_code error;
  return !path.empty() && std::filesystem::is_directory(path, error);
}

}  // namespace

std::filesystem::path grammar_directory() {
  if (const char* configured = std::getenv(GRAMMAR_DIR_VARIABLE); configured && *configured) {
    return configured;
  }
  if (std::filesystem::path exe_dir = executable_directory(); !exe_dir.empty()) {
    std::filesystem::path beside = (exe_dir / INSTALLED_RELATIVE_DIR).lexically_normal();
    if (directory_exists(beside)) return beside;
  }
  // A program of the build tree uses the modules built with it, even when an
  // older installation exists; an installed program found them beside itself.
  const std::filesystem::path built(build_info::GRAMMAR_BUILD_DIR);
  if (directory_exists(built)) return built;
  return std::filesystem::path(build_info::GRAMMAR_INSTALL_DIR);
}

const TSLanguage* load_grammar(std::string_view language) {
  testing_state::count_module_load();
  const build_info::GrammarModule* row = module_row(language);
  if (row == nullptr) {
    throw GrammarLoadError("no grammar module is built for language " + std::string(language));
  }
  std::filesystem::path path = grammar_directory() / std::string(row->file_name);
  if (auto overridden = testing_state::module_path_override(language)) path = *overridden;

  // Never closed: parsers and trees keep pointers into the module.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    throw GrammarLoadError(reason ? reason : "cannot load " + path.string());
  }
  const std::string entry_point(row->entry_point);
  dlerror();
  void* symbol = dlsym(handle, entry_point.c_str());
  if (symbol == nullptr) {
    throw GrammarEntryPointError("grammar module " + path.string() + " has no entry point " +
                                 entry_point);
  }
  using Factory = const TSLanguage* (*)();
  const TSLanguage* grammar = reinterpret_cast<Factory>(symbol)();
  if (grammar == nullptr) {
    throw GrammarLoadError("entry point " + entry_point + " of " + path.string() +
                           " returned no language");
  }
  return grammar;
}

}  // namespace kolvex::syntax
