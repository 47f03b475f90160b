#include "core/hash.h"

// The plain SHA-256 functions are deprecated in OpenSSL 3 but are the fast
// path for small inputs: see sha256_hex.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace kolvex::core {
namespace {

std::string to_hex(const unsigned char* digest, unsigned length) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (unsigned i = 0; i < length; ++i) {
    out += HEX[digest[i] >> 4];
    out += HEX[digest[i] & 0xF];
  }
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
