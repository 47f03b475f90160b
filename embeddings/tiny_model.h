// Test support: writes BERT-style embedding models with random weights, with the
// real WordPiece vocabulary of the vocab GGUF bundled with llama.cpp, so tests run
// the real embedding runtime without downloading model weights. Tiny by default;
// the benchmarks ask for a real model's width and depth.
//
// For tests and benchmarks only. Stateless; safe to call from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::embeddings::fixtures {

struct TinyModelOptions {
  std::uint32_t seed = 1;                // weights differ by seed
  std::uint32_t embedding_length = 32;   // vector length
  std::uint32_t context_length = 2048;   // longest input the model takes, in tokens
  std::optional<std::string> revision;   // recorded under REVISION_KEY when present
  std::uint32_t layers = 2;
  std::uint32_t heads = 2;               // must divide embedding_length
  std::uint32_t feed_forward_length = 0; // 0: twice the embedding length
  bool f16_matrices = false;             // weight matrices stored as F16, as converted models ship
};

// The vocab GGUF the tiny models take their tokenizer from.
std::filesystem::path vocab_path();

// Writes the model file at `path` (parent directories created). Throws
// std::runtime_error on failure.
void write_tiny_model(const std::filesystem::path& path, const TinyModelOptions& options = {});

}  // namespace kolvex::embeddings::fixtures
