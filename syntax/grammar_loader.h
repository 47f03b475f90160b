// Binding of grammar modules: finds the shared module of a language, loads it
// with dlopen and calls its entry point. Internal to the syntax library.
//
// Modules are looked for in $KOLVEX_GRAMMAR_DIR when set, else in
// <directory of the executable>/../lib/kolvex/grammars, else in the build
// directory, else in the install directory, taking the first that exists. Loaded
// modules stay loaded for the life of the process (their language handles are
// referenced by parsers and trees). Thread-safe (dlopen is).
#pragma once

#include <tree_sitter/api.h>

#include <filesystem>
#include <string_view>

#include "core/error.h"

namespace kolvex::syntax {

// The module could not be loaded, or its factory gave no usable language.
class GrammarLoadError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "GrammarLoadError"; }
};
// The module has no entry point of the expected name.
class GrammarEntryPointError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "GrammarEntryPointError"; }
};

// The directory grammar modules are loaded from.
std::filesystem::path grammar_directory();

// The language handle of one of the seventeen languages. Throws GrammarLoadError
// when the module cannot be loaded or the entry point gives no language, and
// GrammarEntryPointError when the module lacks the entry point.
const TSLanguage* load_grammar(std::string_view language);

}  // namespace kolvex::syntax
