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

TEST(Hash, OneShotAgreesWithIncrementalAroundBlockBoundaries) {
  // The one-shot and the incremental hasher run on different OpenSSL entry
  // points: lengths around the 64-byte block, the 56-byte padding boundary and
  // several blocks.
  for (std::size_t size : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 100000}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 256);
    Sha256 hasher;
    hasher.update(bytes);
    EXPECT_EQ(sha256_hex(bytes), hasher.hex_digest()) << size;
  }
}

TEST(Hash, PrefixDigestsEqualOneShotDigestsOfTheWholeInput) {
  // Prefixes that end inside, at and past the first 64-byte block; rests that
  // cross the padding boundary; the same prefix used again after other digests.
  for (std::size_t prefix_size : {0, 1, 55, 63, 64, 65, 100, 128, 200}) {
    std::string prefix(prefix_size, '\0');
    for (std::size_t i = 0; i < prefix_size; ++i) prefix[i] = static_cast<char>((i * 37 + 1) % 256);
    const Sha256Prefix hasher(prefix);
    for (const std::string& rest :
         {std::string(), std::string("x"), std::string(60, 'r'), std::string(130, '\xfe')}) {
      std::string out = "id:";
      hasher.append_hex_digest(rest, out);
      EXPECT_EQ(out, "id:" + sha256_hex(prefix + rest)) << prefix_size << "+" << rest.size();
    }
  }
}

}  // namespace
}  // namespace kolvex::core
