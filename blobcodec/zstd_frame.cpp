#include "blobcodec/zstd_frame.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

#include "blobcodec/blobcodec.h"

namespace kolvex::blobcodec::internal {
namespace {

constexpr std::string_view ZSTD_PREFIX = "zstd decompression failed: ";
// First size of the output buffer; it doubles as output arrives.
constexpr std::size_t INITIAL_OUTPUT_BYTES = 64 * 1024;

// An error the zstd library reported, kept as the cause of the decode error.
class ZstdError : public core::RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  const char* type_name() const noexcept override { return "ZstdError"; }
};

[[noreturn]] void fail(std::string_view detail) {
  throw OccurrenceDecodeError(std::string(ZSTD_PREFIX) + std::string(detail));
}

[[noreturn]] void fail_library(std::size_t code) {
  std::string text = ZSTD_getErrorName(code);
  throw OccurrenceDecodeError(std::string(ZSTD_PREFIX) + text,
                              std::make_exception_ptr(ZstdError(text)));
}

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* dctx) const noexcept { ZSTD_freeDCtx(dctx); }
};

// The input must hold exactly one frame whose declared size (if any) is within
// the bound. Checked from the frame header and block headers, before any output.
std::size_t check_single_frame(std::string_view blob, std::size_t max_output) {
  if (blob.empty()) fail("empty input");
  unsigned long long declared = ZSTD_getFrameContentSize(blob.data(), blob.size());
  if (declared != ZSTD_CONTENTSIZE_ERROR && declared != ZSTD_CONTENTSIZE_UNKNOWN &&
      declared > max_output) {
    fail("frame declares " + std::to_string(declared) + " bytes of content, more than the limit of " +
         std::to_string(max_output));
  }
  std::size_t frame_size = ZSTD_findFrameCompressedSize(blob.data(), blob.size());
  if (ZSTD_isError(frame_size)) fail_library(frame_size);
  if (frame_size < blob.size()) fail("input holds more than one frame");
  return frame_size;
}

}  // namespace

std::string decompress_frame(std::string_view blob, std::size_t max_output) {
  check_single_frame(blob, max_output);

  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
  if (!dctx) throw std::bad_alloc();

  // One byte more than the bound: output that fills it proves the frame too big.
  const std::size_t capacity_limit = max_output + 1;
  std::string output;
  std::size_t produced = 0;
  ZSTD_inBuffer input{blob.data(), blob.size(), 0};
  while (true) {
    if (produced == output.size()) {
      if (output.size() >= capacity_limit) break;
      std::size_t grown = std::max(INITIAL_OUTPUT_BYTES, output.size() * 2);
      output.resize(std::min(grown, capacity_limit));
    }
    ZSTD_outBuffer out{output.data(), output.size(), produced};
    std::size_t result = ZSTD_decompressStream(dctx.get(), &out, &input);
    if (ZSTD_isError(result)) fail_library(result);
    produced = out.pos;
    if (produced > max_output) break;
    if (result == 0) {
      output.resize(produced);
      return output;
    }
    // Room left in the output and no input left: the frame stops short.
    if (input.pos == input.size && out.pos < out.size) fail("truncated frame");
  }
  fail("decompressed content exceeds the limit of " + std::to_string(max_output) + " bytes");
}

}  // namespace kolvex::blobcodec::internal
