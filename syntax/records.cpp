#include "syntax/records.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/hash.h"
#include "core/json.h"
#include "core/text.h"

namespace kolvex::syntax {

namespace {

constexpr std::string_view ID_PREFIX = "syntax:";
constexpr std::string_view END_OF_DATA = "unexpected end of data";

std::string hex_byte(unsigned char byte) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02x", byte);
  return buffer;
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
  std::string payload = "[";
  payload += core::json_string(file_path, /*ensure_ascii=*/false);
  payload += ',';
  payload += core::json_string(file_hash, /*ensure_ascii=*/false);
  payload += ',';
  payload += std::to_string(selection.start_byte);
  payload += ',';
  payload += std::to_string(selection.end_byte);
  payload += ',';
  payload += core::json_string(platform::kind_text(kind), /*ensure_ascii=*/false);
  payload += ']';
  return std::string(ID_PREFIX) + core::sha256_hex(payload);
}

}  // namespace kolvex::syntax
