// Feeds arbitrary bytes to the blob decoders. The first byte picks the input:
// even, the rest is decoded as the stored blob; odd, the rest is first wrapped
// in a zstd frame, so that the message parser sees arbitrary payloads too.
// Decoded records go through the range and symbol helpers as well.
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "blobcodec/blobcodec.h"

namespace {

using namespace kolvex::blobcodec;

std::string frame_of(std::string_view payload) {
  std::string out(ZSTD_compressBound(payload.size()), '\0');
  std::size_t size = ZSTD_compress(out.data(), out.size(), payload.data(), payload.size(), 1);
  if (ZSTD_isError(size)) __builtin_trap();
  out.resize(size);
  return out;
}

void exercise_range(const std::vector<std::int32_t>& range) {
  try {
    auto positions = scip_range_to_positions(range);
    for (std::int32_t value : positions) {
      if (value < 0) __builtin_trap();
    }
  } catch (const OccurrenceDecodeError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string blob = (data[0] & 1) ? frame_of(rest) : std::string(rest);

  try {
    for (const ScipOccurrence& occ : decode_occurrences(blob)) {
      exercise_range(occ.range);
      exercise_range(occ.enclosing_range);
      (void)occ.is_definition();
      (void)parse_symbol_package(occ.symbol);
    }
  } catch (const OccurrenceDecodeError&) {
  }
  try {
    for (const ScipRelationship& rel : decode_relationships(blob)) (void)parse_symbol_package(rel.symbol);
  } catch (const OccurrenceDecodeError&) {
  }
  (void)parse_symbol_package(rest);
  if (size >= 9) {
    std::int64_t kind = 0;
    for (int i = 0; i < 8; ++i) kind = static_cast<std::int64_t>(static_cast<std::uint64_t>(kind) << 8 | data[1 + i]);
    (void)kind_name(kind);
  }
  return 0;
}
