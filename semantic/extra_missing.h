// The error raised when an optional library of the semantic index (the vector
// store or the embedding runtime) cannot be loaded, with its fixed message: the
// embeddings library's own type, so that one handler catches it from either.
//
// Only the error type and its message are used here, both defined in the header,
// so the store raises it without linking the embedding runtime.
//
// Thread-safety: the error is immutable once thrown; the message is a constant.
#pragma once

#include "embeddings/model.h"

namespace kolvex::semantic {

using embeddings::INSTALL_HINT;
using embeddings::SemanticExtraMissingError;

}  // namespace kolvex::semantic
