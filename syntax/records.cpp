#include "syntax/records.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

// The plain SHA-256 functions are marked deprecated in OpenSSL 3 in favour of
// the digest contexts they are cheaper than; they stay supported.

#include "core/hash.h"
#include "core/json.h"
#include "core/text.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view ID_PREFIX = "syntax:";
constexpr std::size_t SHA256_HEX_DIGITS = 64;
constexpr std::string_view END_OF_DATA = "unexpected end of data";

std::string hex_byte(unsigned char byte) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02x", byte);
  return buffer;
}

constexpr std::size_t KIND_COUNT = static_cast<std::size_t>(DescriptorKind::LOCAL) + 1;

// The end of an id's JSON array for each kind: "," + the quoted kind text + "]".
const std::array<std::string, KIND_COUNT>& kind_parts() {
  static const std::array<std::string, KIND_COUNT> parts = [] {
    std::array<std::string, KIND_COUNT> built;
    for (std::size_t kind = 0; kind < KIND_COUNT; ++kind) {
      built[kind] = "," +
                    core::json_string(platform::kind_text(static_cast<DescriptorKind>(kind)),
                                      /*ensure_ascii=*/false) +
                    "]";
    }
    return built;
  }();
  return parts;
}

}  // namespace

std::optional<std::string> utf8_fault_text(std::string_view bytes) {
  const std::optional<core::Utf8Fault> fault = core::find_utf8_fault(bytes);
  if (!fault) return std::nullopt;
  const std::size_t position = fault->offset;
  // A sequence cut short by the end of the data spans every remaining byte.
  const std::size_t remaining = bytes.size() - position;
  if (fault->reason == END_OF_DATA && remaining > 1) {
    return "'utf-8' codec can't decode bytes in position " + std::to_string(position) + "-" +
           std::to_string(position + remaining - 1) + ": " + fault->reason;
  }
  return "'utf-8' codec can't decode byte " +
         hex_byte(static_cast<unsigned char>(bytes[position])) + " in position " +
         std::to_string(position) + ": " + fault->reason;
}

std::string slice_text(std::string_view source, std::int64_t start, std::int64_t end) {
  const auto size = static_cast<std::int64_t>(source.size());
  end = std::clamp<std::int64_t>(end, 0, size);
  start = std::clamp<std::int64_t>(start, 0, size);
  if (start >= end) return {};
  const std::string_view bytes =
      source.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
  if (std::optional<std::string> fault = utf8_fault_text(bytes)) throw Utf8DecodeError(*fault);
  return std::string(bytes);
}

std::string syntax_id(std::string_view file_path, std::string_view file_hash, const Span& selection,
                      DescriptorKind kind) {
  return SyntaxIdMaker(file_path, file_hash)(selection, kind);
}

namespace {

std::string id_file_part(std::string_view file_path, std::string_view file_hash) {
  std::string part = "[";
  part += core::json_string(file_path, /*ensure_ascii=*/false);
  part += ',';
  part += core::json_string(file_hash, /*ensure_ascii=*/false);
  part += ',';
  return part;
}

}  // namespace

SyntaxIdMaker::SyntaxIdMaker(std::string_view file_path, std::string_view file_hash)
    : file_part_(id_file_part(file_path, file_hash)) {}

std::string SyntaxIdMaker::operator()(const Span& selection, DescriptorKind kind) {
  rest_ = std::to_string(selection.start_byte);
  rest_ += ',';
  rest_ += std::to_string(selection.end_byte);
  rest_ += kind_parts()[static_cast<std::size_t>(kind)];
  std::string id;
  id.reserve(ID_PREFIX.size() + SHA256_HEX_DIGITS);
  id = ID_PREFIX;
  file_part_.append_hex_digest(rest_, id);
  return id;
}

}  // namespace kolvex::syntax
