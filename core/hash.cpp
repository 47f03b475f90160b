#include "core/hash.h"

// The plain SHA-256 functions are deprecated in OpenSSL 3 but are the fast
// path for small inputs: see sha256_hex.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace kolvex::core {
namespace {

// Appends the digits in place: a character at a time, the checks of a growing
// string cost as much as hashing a short input.
void append_hex(const unsigned char* digest, unsigned length, std::string& out) {
  static constexpr char HEX[] = "0123456789abcdef";
  const std::size_t start = out.size();
  out.resize(start + 2 * std::size_t{length});
  char* digits = out.data() + start;
  for (unsigned i = 0; i < length; ++i) {
    digits[2 * i] = HEX[digest[i] >> 4];
    digits[2 * i + 1] = HEX[digest[i] & 0xF];
  }
}

std::string to_hex(const unsigned char* digest, unsigned length) {
  std::string out;
  append_hex(digest, length, out);
  return out;
}

}  // namespace

struct Sha256::Impl {
  EVP_MD_CTX* context = nullptr;
  bool finished = false;
  ~Impl() { EVP_MD_CTX_free(context); }
};

// One call hashes on a context on the stack with the plain SHA-256 functions:
// OpenSSL's digest contexts, and its one-shot SHA256 too, look the algorithm up
// by name on every call, which costs several times more than hashing a
// declaration id or a small file.
std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, bytes.data(), bytes.size());
  SHA256_Final(digest, &context);
  return to_hex(digest, SHA256_DIGEST_LENGTH);
}

struct Sha256Prefix::State {
  SHA256_CTX after_prefix;
};

Sha256Prefix::Sha256Prefix(std::string_view prefix) : state_(std::make_unique<State>()) {
  SHA256_Init(&state_->after_prefix);
  SHA256_Update(&state_->after_prefix, prefix.data(), prefix.size());
}

Sha256Prefix::~Sha256Prefix() = default;
Sha256Prefix::Sha256Prefix(Sha256Prefix&&) noexcept = default;
Sha256Prefix& Sha256Prefix::operator=(Sha256Prefix&&) noexcept = default;

void Sha256Prefix::append_hex_digest(std::string_view rest, std::string& out) const {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_CTX context = state_->after_prefix;
  SHA256_Update(&context, rest.data(), rest.size());
  SHA256_Final(digest, &context);
  append_hex(digest, SHA256_DIGEST_LENGTH, out);
}

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->context = EVP_MD_CTX_new();
  if (!impl_->context || EVP_DigestInit_ex(impl_->context, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::update(std::string_view bytes) {
  if (!impl_ || impl_->finished) throw std::logic_error("Sha256::update after hex_digest");
  if (EVP_DigestUpdate(impl_->context, bytes.data(), bytes.size()) != 1) {
    throw std::runtime_error("SHA-256 update failed");
  }
}

std::string Sha256::hex_digest() {
  if (!impl_ || impl_->finished) throw std::logic_error("Sha256::hex_digest called twice");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (EVP_DigestFinal_ex(impl_->context, digest, &length) != 1) throw std::runtime_error("SHA-256 final failed");
  impl_->finished = true;
  return to_hex(digest, length);
}

}  // namespace kolvex::core
