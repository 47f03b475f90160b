// Bounded decompression of one zstd frame, as the converted SCIP database stores
// its blobs. Internal to blobcodec (the decoders' first step).
//
// The input must be exactly one frame. An empty input, bytes after the first
// frame, a frame that declares a content size above the bound and output that
// would exceed the bound are failures, like every error the zstd library reports.
// Output buffers grow with the output actually produced, never from the size a
// frame header declares. Thread-safe: each call owns its decompression context.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kolvex::blobcodec::internal {

// Decompresses `blob`, producing at most `max_output` bytes. Raises
// OccurrenceDecodeError("zstd decompression failed: ...").
std::string decompress_frame(std::string_view blob, std::size_t max_output);

}  // namespace kolvex::blobcodec::internal
