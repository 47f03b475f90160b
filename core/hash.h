// Content identity: SHA-256 written as 64 lower-case hexadecimal digits.
// Sha256 is a single-owner incremental hasher; the free function is thread-safe.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace kolvex::core {

std::string sha256_hex(std::string_view bytes);

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
