// SCIP blob decoding: the only code that reads the zstd-compressed Protocol
// Buffers columns of a converted SCIP database.
//
// `chunks.occurrences` holds one zstd frame around a serialised scip.Document;
// `global_symbols.relationships` one frame around a serialised
// scip.SymbolInformation. The decoders turn them into plain records and fail
// closed: every zstd or protobuf failure is an OccurrenceDecodeError and no
// partial result is ever returned. Decompressed output is bounded at
// MAX_DECOMPRESSED_BYTES. The symbol helpers read the package of a SCIP symbol
// string and the schema's name of a symbol kind.
//
// Thread-safety: every function is pure; each call makes its own decompression
// context and messages, so calls may run on any number of threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/sqlite.h"
#include "proto/scip.pb.h"

namespace kolvex::blobcodec {

// Upper bound of a blob's decompressed size.
inline constexpr std::size_t MAX_DECOMPRESSED_BYTES = 100'000'000;

// Any zstd, protobuf or packed-range failure while decoding.
class OccurrenceDecodeError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "OccurrenceDecodeError"; }
};

// One occurrence of a chunk, as stored. Ranges are 0-based packed ranges:
// 3 values (line, start character, end character) or 4 (start line, start
// character, end line, end character); a packed field stored with another count
// is kept as it is.
struct ScipOccurrence {
  std::vector<std::int32_t> range;
  std::string symbol;
  std::int32_t symbol_roles = 0;
  std::vector<std::int32_t> enclosing_range;

  bool is_definition() const noexcept;
  bool operator==(const ScipOccurrence&) const = default;
};

// One relationship of a symbol, copied from scip.Relationship.
struct ScipRelationship {
  std::string symbol;
  bool is_reference = false;
  bool is_implementation = false;
  bool is_type_definition = false;
  bool is_definition = false;

  bool operator==(const ScipRelationship&) const = default;
};

// The package a SCIP symbol belongs to. `name` is never ".".
struct SymbolPackage {
  std::string manager;
  std::string name;
  std::string version;

  bool operator==(const SymbolPackage&) const = default;
  auto operator<=>(const SymbolPackage&) const = default;
};

// The bits of an occurrence's role set, taken from the schema's SymbolRole.
struct SymbolRoles {
  static constexpr std::int32_t UNSPECIFIED = scip::UnspecifiedSymbolRole;
  static constexpr std::int32_t DEFINITION = scip::Definition;
  static constexpr std::int32_t IMPORT = scip::Import;
  static constexpr std::int32_t WRITE_ACCESS = scip::WriteAccess;
  static constexpr std::int32_t READ_ACCESS = scip::ReadAccess;
  static constexpr std::int32_t GENERATED = scip::Generated;
  static constexpr std::int32_t TEST = scip::Test;
  static constexpr std::int32_t FORWARD_DEFINITION = scip::ForwardDefinition;
};

// Decodes one `chunks.occurrences` blob: one record per occurrence, in message
// order. An empty frame gives no occurrences; an empty byte string is an error.
std::vector<ScipOccurrence> decode_occurrences(std::string_view blob);
inline std::vector<ScipOccurrence> decode_occurrences(const std::string& blob) {
  return decode_occurrences(std::string_view(blob));
}
// The same for a column value: anything but a blob (NULL included) is refused
// with std::invalid_argument before any decoding.
std::vector<ScipOccurrence> decode_occurrences(const core::SqlValue& blob);

// Decodes one `global_symbols.relationships` blob, in message order.
std::vector<ScipRelationship> decode_relationships(std::string_view blob);
inline std::vector<ScipRelationship> decode_relationships(const std::string& blob) {
  return decode_relationships(std::string_view(blob));
}
std::vector<ScipRelationship> decode_relationships(const core::SqlValue& blob);

// The schema's name of a symbol kind ("Class" for 7); none for an absent kind or
// a number the schema does not name.
std::optional<std::string> kind_name(std::optional<std::int64_t> kind);

// The occurrence's range, newest encoding first: the typed range when one is set,
// else the packed field as stored (any length, possibly empty). Not validated.
std::vector<std::int32_t> occurrence_range(const scip::Occurrence& occ);

// The package of a symbol string, or none for local symbols, symbols with fewer
// than four leading components and the unspecified package ".".
std::optional<SymbolPackage> parse_symbol_package(std::string_view symbol);

// A packed range as start_line, start_char, end_line, end_char. Raises
// OccurrenceDecodeError for a count other than 3 or 4 and for negative values.
std::array<std::int32_t, 4> scip_range_to_positions(std::span<const std::int32_t> range_values);

}  // namespace kolvex::blobcodec

template <>
struct std::hash<kolvex::blobcodec::ScipOccurrence> {
  std::size_t operator()(const kolvex::blobcodec::ScipOccurrence& occ) const noexcept;
};
template <>
struct std::hash<kolvex::blobcodec::ScipRelationship> {
  std::size_t operator()(const kolvex::blobcodec::ScipRelationship& rel) const noexcept;
};
template <>
struct std::hash<kolvex::blobcodec::SymbolPackage> {
  std::size_t operator()(const kolvex::blobcodec::SymbolPackage& package) const noexcept;
};
