// The error raised when an optional library of the semantic index (the vector
// store or the embedding runtime) cannot be loaded, with its fixed message.
//
// Thread-safety: the error is immutable once thrown; the message is a constant.
#pragma once

#include <string_view>

#include "core/error.h"

namespace kolvex::semantic {

// The message of every SemanticExtraMissingError.
inline constexpr std::string_view INSTALL_HINT =
    "semantic search requires the 'semantic' extra \u2014 install kolvex-mcp[semantic] "
    "(uv tool install, or uvx --from), or `uv sync --extra semantic` in a source checkout";

// Of the generic family, derived directly from its base: it is no load failure
// itself; the load failure it reports travels as its cause.
class SemanticExtraMissingError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "SemanticExtraMissingError"; }
};

}  // namespace kolvex::semantic
