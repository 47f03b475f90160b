// The SCIP descriptor kinds, shared by the syntax extractor, the syntax
// snapshot and symbol-definition search.
//
// The text of each kind is stored in snapshots and hashed into every
// declaration id: the texts below are frozen. Functions are pure and may be
// called from any thread.
#pragma once

#include <string_view>

namespace kolvex::platform {

// SCIP descriptor kinds. Texts: "NAMESPACE", "TYPE", "TERM", "METHOD",
// "TYPE_PARAMETER", "PARAMETER", "META", "MACRO", "LOCAL".
enum class DescriptorKind {
  NAMESPACE,
  TYPE,
  TERM,
  METHOD,
  TYPE_PARAMETER,
  PARAMETER,
  META,
  MACRO,
  LOCAL,
};

// The stored text of a kind.
std::string_view kind_text(DescriptorKind kind) noexcept;
// The kind whose text is `text`; throws core::ValueError for an unknown text
// ("'X' is not a valid DescriptorKind").
DescriptorKind kind_from_text(std::string_view text);

}  // namespace kolvex::platform
