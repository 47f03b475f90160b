// Occurrence and relationship blobs, packed ranges and role bits.
#include <google/protobuf/stubs/logging.h>

#include <stdexcept>
#include <variant>

#include "blobcodec/blobcodec.h"
#include "blobcodec/zstd_frame.h"

namespace kolvex::blobcodec {
namespace {

// A message that does not parse, kept as the cause of the decode error.
class ProtobufDecodeError : public core::GenericError {
 public:
  using GenericError::GenericError;
  const char* type_name() const noexcept override { return "DecodeError"; }
};

template <typename Message>
Message parse_payload(const std::string& payload) {
  Message message;
  bool parsed;
  {
    // The parser reports invalid UTF-8 in string fields on the log as well as by
    // failing; the failure is what callers get, so the log line is suppressed.
    google::protobuf::LogSilencer silence;
    parsed = message.ParseFromString(payload);
  }
  if (!parsed) {
    std::string text = "Error parsing message with type '" + message.GetTypeName() + "'";
    throw OccurrenceDecodeError("protobuf decode failed: " + text,
                                std::make_exception_ptr(ProtobufDecodeError(text)));
  }
  return message;
}

std::vector<std::int32_t> packed(const google::protobuf::RepeatedField<std::int32_t>& values) {
  return {values.begin(), values.end()};
}

std::vector<std::int32_t> single_line(const scip::SingleLineRange& r) {
  return {r.line(), r.start_character(), r.end_character()};
}

std::vector<std::int32_t> multi_line(const scip::MultiLineRange& r) {
  return {r.start_line(), r.start_character(), r.end_line(), r.end_character()};
}

// The typed range in packed order, or empty when none is set.
std::vector<std::int32_t> typed_range_to_wire(const scip::Occurrence& occ) {
  switch (occ.typed_range_case()) {
    case scip::Occurrence::kSingleLineRange:
      return single_line(occ.single_line_range());
    case scip::Occurrence::kMultiLineRange:
      return multi_line(occ.multi_line_range());
    case scip::Occurrence::TYPED_RANGE_NOT_SET:
      break;
  }
  return {};
}

std::vector<std::int32_t> enclosing_range(const scip::Occurrence& occ) {
  switch (occ.typed_enclosing_range_case()) {
    case scip::Occurrence::kSingleLineEnclosingRange:
      return single_line(occ.single_line_enclosing_range());
    case scip::Occurrence::kMultiLineEnclosingRange:
      return multi_line(occ.multi_line_enclosing_range());
    case scip::Occurrence::TYPED_ENCLOSING_RANGE_NOT_SET:
      break;
  }
  return packed(occ.enclosing_range());
}

// "(1, 2, 3)", "(7,)" or "()", as the range messages show their input.
std::string format_values(std::span<const std::int32_t> values) {
  std::string text = "(";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(values[i]);
  }
  if (values.size() == 1) text += ",";
  return text + ")";
}

std::string_view as_blob(const core::SqlValue& value) {
  const char* kinds[] = {"NULL", "an integer", "a real", "text", "a blob"};
  const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value);
  if (bytes == nullptr) {
    throw std::invalid_argument(std::string("blob must be a byte string, not ") + kinds[value.index()]);
  }
  return {reinterpret_cast<const char*>(bytes->data()), bytes->size()};
}

}  // namespace

bool ScipOccurrence::is_definition() const noexcept {
  return (symbol_roles & SymbolRoles::DEFINITION) != 0;
}

std::vector<std::int32_t> occurrence_range(const scip::Occurrence& occ) {
  std::vector<std::int32_t> typed = typed_range_to_wire(occ);
  if (!typed.empty()) return typed;
  return packed(occ.range());
}

std::vector<ScipOccurrence> decode_occurrences(std::string_view blob) {
  std::string payload = internal::decompress_frame(blob, MAX_DECOMPRESSED_BYTES);
  auto document = parse_payload<scip::Document>(payload);
  std::vector<ScipOccurrence> result;
  result.reserve(document.occurrences_size());
  for (const scip::Occurrence& occ : document.occurrences()) {
    result.push_back(ScipOccurrence{occurrence_range(occ), occ.symbol(), occ.symbol_roles(), enclosing_range(occ)});
  }
  return result;
}

std::vector<ScipOccurrence> decode_occurrences(const core::SqlValue& blob) {
  return decode_occurrences(as_blob(blob));
}

std::vector<ScipRelationship> decode_relationships(std::string_view blob) {
  std::string payload = internal::decompress_frame(blob, MAX_DECOMPRESSED_BYTES);
  auto info = parse_payload<scip::SymbolInformation>(payload);
  std::vector<ScipRelationship> result;
  result.reserve(info.relationships_size());
  for (const scip::Relationship& rel : info.relationships()) {
    result.push_back(ScipRelationship{rel.symbol(), rel.is_reference(), rel.is_implementation(),
                                      rel.is_type_definition(), rel.is_definition()});
  }
  return result;
}

std::vector<ScipRelationship> decode_relationships(const core::SqlValue& blob) {
  return decode_relationships(as_blob(blob));
}

std::array<std::int32_t, 4> scip_range_to_positions(std::span<const std::int32_t> range_values) {
  std::array<std::int32_t, 4> positions{};
  if (range_values.size() == 4) {
    positions = {range_values[0], range_values[1], range_values[2], range_values[3]};
  } else if (range_values.size() == 3) {
    positions = {range_values[0], range_values[1], range_values[0], range_values[2]};
  } else {
    throw OccurrenceDecodeError("unexpected range length " + std::to_string(range_values.size()) + ": " +
                                format_values(range_values));
  }
  for (std::int32_t value : positions) {
    if (value < 0) throw OccurrenceDecodeError("negative position in range: " + format_values(range_values));
  }
  return positions;
}

}  // namespace kolvex::blobcodec

namespace {

// Boost-style mixing of one more hash into a running seed.
void hash_combine(std::size_t& seed, std::size_t value) noexcept {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

void hash_values(std::size_t& seed, const std::vector<std::int32_t>& values) noexcept {
  hash_combine(seed, values.size());
  for (std::int32_t value : values) hash_combine(seed, std::hash<std::int32_t>{}(value));
}

}  // namespace

std::size_t std::hash<kolvex::blobcodec::ScipOccurrence>::operator()(
    const kolvex::blobcodec::ScipOccurrence& occ) const noexcept {
  std::size_t seed = 0;
  hash_values(seed, occ.range);
  hash_combine(seed, std::hash<std::string>{}(occ.symbol));
  hash_combine(seed, std::hash<std::int32_t>{}(occ.symbol_roles));
  hash_values(seed, occ.enclosing_range);
  return seed;
}

std::size_t std::hash<kolvex::blobcodec::ScipRelationship>::operator()(
    const kolvex::blobcodec::ScipRelationship& rel) const noexcept {
  std::size_t seed = std::hash<std::string>{}(rel.symbol);
  hash_combine(seed, (rel.is_reference ? 1u : 0u) | (rel.is_implementation ? 2u : 0u) |
                         (rel.is_type_definition ? 4u : 0u) | (rel.is_definition ? 8u : 0u));
  return seed;
}
