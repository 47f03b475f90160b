// slice_text and syntax_id.
#include "syntax/records.h"

#include <gtest/gtest.h>

#include "core/hash.h"
#include "core/json.h"

namespace kolvex::syntax {
namespace {

TEST(SliceText, ClampsAndDecodesStrictly) {
  struct Case {
    std::int64_t start;
    std::int64_t end;
    const char* expected;
  };
  const Case cases[] = {{1, 10, "bc"}, {2, 2, ""}, {3, 1, ""}, {0, 3, "abc"}, {5, 9, ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(slice_text("abc", c.start, c.end), c.expected) << c.start << ".." << c.end;
  }
  const std::string accented = "a\xc3\xa9z";  // a, e-acute (two bytes), z
  EXPECT_EQ(slice_text(accented, 1, 3), "\xc3\xa9");
  try {
    slice_text(accented, 0, 2);
    FAIL() << "no error";
  } catch (const Utf8DecodeError& error) {
    EXPECT_EQ(error.message(),
              "'utf-8' codec can't decode byte 0xc3 in position 1: unexpected end of data");
  }
  EXPECT_THROW(slice_text(accented, 2, 4), Utf8DecodeError);
  EXPECT_THROW(slice_text("\xff", 0, 1), core::ValueError);
}

TEST(Utf8FaultText, NamesPositionAndFault) {
  EXPECT_EQ(utf8_fault_text("ok"), std::nullopt);
  EXPECT_EQ(utf8_fault_text(""), std::nullopt);
  EXPECT_EQ(utf8_fault_text("ab\xff"),
            "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
  EXPECT_EQ(utf8_fault_text("a\xe2\x82"),
            "'utf-8' codec can't decode bytes in position 1-2: unexpected end of data");
  EXPECT_EQ(utf8_fault_text("\xe2(x"),
            "'utf-8' codec can't decode byte 0xe2 in position 0: invalid continuation byte");
}

std::string expected_id(const std::string& payload) { return "syntax:" + core::sha256_hex(payload); }

TEST(SyntaxId, CompactPayloadWithMinimalEscapes) {
  const Span selection{10, 13, 0, 0, 0, 0};
  struct Case {
    const char* path;
    const char* payload;
  };
  const Case cases[] = {
      {"src/a.py", R"(["src/a.py","h",10,13,"METHOD"])"},
      {"d\"q\\b.py", R"(["d\"q\\b.py","h",10,13,"METHOD"])"},
      {"caf\xc3\xa9/\xf0\x9f\x98\x80.py", "[\"caf\xc3\xa9/\xf0\x9f\x98\x80.py\",\"h\",10,13,\"METHOD\"]"},
      {"t\tn\nr\rb\bf\f", R"(["t\tn\nr\rb\bf\f","h",10,13,"METHOD"])"},
      {"c\x01\x1f\x7f", "[\"c\\u0001\\u001f\x7f\",\"h\",10,13,\"METHOD\"]"},
  };
  for (const Case& c : cases) {
    const std::string id = syntax_id(c.path, "h", selection, DescriptorKind::METHOD);
    EXPECT_EQ(id, expected_id(c.payload)) << c.payload;
    EXPECT_EQ(id.size(), 71u);
  }
}

TEST(SyntaxId, DependsOnHashSelectionBytesAndKindOnly) {
  const Span selection{4, 7, 1, 2, 1, 5};
  const std::string base = syntax_id("a.py", "h1", selection, DescriptorKind::TYPE);
  EXPECT_EQ(syntax_id("a.py", "h1", selection, DescriptorKind::TYPE), base);
  EXPECT_EQ(syntax_id("a.py", "h1", Span{4, 7, 9, 9, 9, 9}, DescriptorKind::TYPE), base);
  EXPECT_NE(syntax_id("a.py", "h2", selection, DescriptorKind::TYPE), base);
  EXPECT_NE(syntax_id("a.py", "h1", Span{4, 8, 1, 2, 1, 5}, DescriptorKind::TYPE), base);
  EXPECT_NE(syntax_id("a.py", "h1", selection, DescriptorKind::METHOD), base);
  EXPECT_NE(syntax_id("b.py", "h1", selection, DescriptorKind::TYPE), base);
  EXPECT_EQ(base, expected_id(R"(["a.py","h1",4,7,"TYPE"])"));
}

}  // namespace
}  // namespace kolvex::syntax
