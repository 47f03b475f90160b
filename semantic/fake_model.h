// A stand-in embedding model for tests of the semantic stage and hybrid search:
// fixed identity and prefixes, deterministic unit vectors, and a record of what
// it was asked.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/hash.h"
#include "semantic/extra_missing.h"
#include "semantic/model.h"

namespace kolvex::semantic::testing {

// Four dimensions derived from the text's SHA-256, scaled to unit length.
inline Vector unit_vector_of(std::string_view text) {
  std::string digest = core::sha256_hex(text);
  Vector vector;
  double norm = 0.0;
  for (int i = 0; i < 4; ++i) {
    float value = static_cast<float>(std::stoi(digest.substr(i * 4, 4), nullptr, 16) + 1);
    vector.push_back(value);
    norm += static_cast<double>(value) * value;
  }
  for (float& value : vector) value = static_cast<float>(value / std::sqrt(norm));
  return vector;
}

class FakeModel : public SemanticModel {
 public:
  explicit FakeModel(ModelSpec model_spec = {"fake/model", "rev1", "q: ", "d: "},
                     std::optional<std::string> warning = std::nullopt)
      : spec_(std::move(model_spec)), warning_(std::move(warning)) {}

  std::pair<std::string, std::string> identity() const override { return {spec_.model_name, spec_.revision}; }
  std::pair<std::string, std::string> prefixes() const override { return {spec_.query_prefix, spec_.doc_prefix}; }
  std::optional<std::string> prefix_warning() const override { return warning_; }

  std::vector<Vector> embed_texts(const std::vector<std::string>& texts) override {
    if (missing) throw SemanticExtraMissingError(std::string(INSTALL_HINT));
    embed_calls.push_back(texts);
    std::vector<Vector> vectors;
    for (const std::string& text : texts) vectors.push_back(document_vector(text));
    if (short_by > 0) vectors.resize(vectors.size() > short_by ? vectors.size() - short_by : 0);
    return vectors;
  }
  Vector embed_query(std::string_view query) override {
    if (missing) throw SemanticExtraMissingError(std::string(INSTALL_HINT));
    queries.emplace_back(query);
    return query_vector ? *query_vector : unit_vector_of(spec_.query_prefix + std::string(query));
  }
  std::int64_t count_oversized(const std::vector<std::string>& texts) override {
    if (count_fails) throw std::runtime_error("tokenizer failed");
    std::int64_t count = 0;
    for (const std::string& text : texts) count += text.size() > oversized_bytes ? 1 : 0;
    return count;
  }

  std::optional<std::string> loaded_revision() override { return loaded; }

  // The vector embed_texts gives `text`: unit_vector_of the prefixed text, its
  // elements repeated up to `width` and scaled back to unit length.
  Vector document_vector(const std::string& text) const {
    Vector base = unit_vector_of(spec_.doc_prefix + text);
    if (width == base.size()) return base;
    Vector vector;
    double norm = 0.0;
    for (std::size_t i = 0; i < width; ++i) {
      vector.push_back(base[i % base.size()]);
      norm += static_cast<double>(vector.back()) * vector.back();
    }
    for (float& value : vector) value = static_cast<float>(value / std::sqrt(norm));
    return vector;
  }

  const ModelSpec& model_spec() const { return spec_; }

  bool missing = false;                 // every encoding raises SemanticExtraMissingError
  bool count_fails = false;             // count_oversized raises
  std::size_t short_by = 0;             // embed_texts returns this many vectors too few
  std::size_t oversized_bytes = 100000;  // texts longer than this count as truncated
  std::optional<Vector> query_vector;   // the vector of every query (default: derived from the text)
  std::size_t width = 4;                // dimensions of the document vectors
  std::optional<std::string> loaded;    // what loaded_revision() answers
  std::vector<std::vector<std::string>> embed_calls;
  std::vector<std::string> queries;

 private:
  ModelSpec spec_;
  std::optional<std::string> warning_;
};

}  // namespace kolvex::semantic::testing
