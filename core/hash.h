// Content identity: SHA-256 written as 64 lower-case hexadecimal digits.
// Sha256 is a single-owner incremental hasher; the free function is thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kolvex::core {

std::string sha256_hex(std::string_view bytes);

// SHA-256 of many inputs that begin with the same bytes: the state after the
// common prefix is computed once, and each digest hashes only the rest. Const
// calls may run on several threads at once.
class Sha256Prefix {
 public:
  explicit Sha256Prefix(std::string_view prefix);
  ~Sha256Prefix();
  Sha256Prefix(const Sha256Prefix&) = delete;
  Sha256Prefix& operator=(const Sha256Prefix&) = delete;
  Sha256Prefix(Sha256Prefix&&) noexcept;
  Sha256Prefix& operator=(Sha256Prefix&&) noexcept;

  // Appends sha256_hex(prefix + rest) to `out`.
  void append_hex_digest(std::string_view rest, std::string& out) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;

  void update(std::string_view bytes);
  // The digest of everything fed so far; the hasher cannot be updated afterwards.
  std::string hex_digest();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kolvex::core
