#include "core/hash.h"

#include <gtest/gtest.h>

namespace kolvex::core {
namespace {

TEST(Hash, Sha256KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string("\0\xFF", 2)), "06eb7d6a69ee19e5fbdf749018d3d2abfa04bcbd1365db312eb86dc7169389b8");
}

TEST(Hash, IncrementalMatchesOneShot) {
  Sha256 hasher;
  hasher.update("a");
  hasher.update("");
  hasher.update("bc");
  EXPECT_EQ(hasher.hex_digest(), sha256_hex("abc"));
  EXPECT_THROW(hasher.update("x"), std::logic_error);
}

}  // namespace
}  // namespace kolvex::core
