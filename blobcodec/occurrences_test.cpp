#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "blobcodec/blobcodec.h"
#include "blobcodec/zstd_frame.h"
#include "testkit/scip_builder.h"

namespace kolvex::blobcodec {
namespace {

using testkit::RangeForm;
using testkit::occurrences_blob;
using testkit::relationships_blob;
using testkit::scip_occurrence;
using testkit::scip_relationship;
using testkit::set_enclosing_range;
using testkit::zstd_frame;
using Values = std::vector<std::int32_t>;

// A frame whose header declares `size` bytes of content, followed by one empty
// raw block: structurally valid, holding nothing like what it claims.
std::string frame_declaring(std::uint64_t size) {
  std::string frame = "\x28\xb5\x2f\xfd";
  frame += '\xe0';  // single segment, 8-byte content size
  for (int i = 0; i < 8; ++i) frame += static_cast<char>((size >> (8 * i)) & 0xff);
  frame += std::string("\x01\x00\x00", 3);  // last block, raw, 0 bytes
  return frame;
}

std::string cause_text(const std::exception_ptr& cause) {
  try {
    std::rethrow_exception(cause);
  } catch (const std::exception& error) {
    return error.what();
  }
}

std::string serialized_document(const std::vector<scip::Occurrence>& occurrences) {
  scip::Document doc;
  for (const auto& occ : occurrences) *doc.add_occurrences() = occ;
  return doc.SerializeAsString();
}

TEST(DecodeOccurrences, RecordsInMessageOrderWithDuplicatesAndLocals) {
  std::vector<scip::Occurrence> occs = {
      scip_occurrence("scip-python python pkg 1.0 mod/Foo#", {3, 4, 9}, SymbolRoles::DEFINITION),
      scip_occurrence("local 0", {5, 0, 6, 2}, SymbolRoles::READ_ACCESS | SymbolRoles::WRITE_ACCESS),
      scip_occurrence("local 0", {5, 0, 6, 2}, SymbolRoles::READ_ACCESS | SymbolRoles::WRITE_ACCESS),
      scip_occurrence("", {}, 0),
  };
  std::vector<ScipOccurrence> expected = {
      {{3, 4, 9}, "scip-python python pkg 1.0 mod/Foo#", 1, {}},
      {{5, 0, 6, 2}, "local 0", 12, {}},
      {{5, 0, 6, 2}, "local 0", 12, {}},
      {{}, "", 0, {}},
  };
  for (bool declare_size : {true, false}) {
    SCOPED_TRACE(declare_size);
    EXPECT_EQ(decode_occurrences(occurrences_blob(occs, declare_size)), expected);
  }
}

TEST(DecodeOccurrences, TypedRangeBeatsPackedField) {
  struct Case {
    const char* name;
    scip::Occurrence occ;
    Values range;
    Values enclosing;
  };
  auto with_packed = [](scip::Occurrence occ, Values packed) {
    occ.mutable_range()->Add(packed.begin(), packed.end());
    return occ;
  };
  auto enclosed = [](scip::Occurrence occ, Values range, RangeForm form) {
    set_enclosing_range(occ, std::move(range), form);
    return occ;
  };
  auto enclosed_both = [&](scip::Occurrence occ, Values typed, Values packed) {
    occ = enclosed(std::move(occ), std::move(typed), RangeForm::typed);
    occ.mutable_enclosing_range()->Add(packed.begin(), packed.end());
    return occ;
  };
  std::vector<Case> cases = {
      {"single-line typed over packed", with_packed(scip_occurrence("s", {1, 2, 3}, 0, RangeForm::typed), {9, 9, 9, 9}),
       {1, 2, 3}, {}},
      {"multi-line typed over packed", with_packed(scip_occurrence("s", {1, 2, 5, 6}, 0, RangeForm::typed), {9, 9, 9}),
       {1, 2, 5, 6}, {}},
      {"packed of five kept as stored", scip_occurrence("s", {1, 2, 3, 4, 5}), {1, 2, 3, 4, 5}, {}},
      {"neither gives empty", scip_occurrence("s", {}), {}, {}},
      {"typed zeros still typed", with_packed(scip_occurrence("s", {0, 0, 0}, 0, RangeForm::typed), {7, 7, 7}),
       {0, 0, 0}, {}},
      {"typed single-line enclosing over packed", enclosed_both(scip_occurrence("s", {1, 2, 3}), {0, 0, 9}, {8, 8, 8, 8}),
       {1, 2, 3}, {0, 0, 9}},
      {"typed multi-line enclosing over packed",
       enclosed_both(scip_occurrence("s", {1, 2, 3}), {0, 0, 4, 1}, {8, 8, 8}), {1, 2, 3}, {0, 0, 4, 1}},
      {"packed enclosing of two kept", enclosed(scip_occurrence("s", {1, 2, 3}), {4, 5}, RangeForm::packed),
       {1, 2, 3}, {4, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ScipOccurrence> decoded = decode_occurrences(occurrences_blob({c.occ}));
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].range, c.range);
    EXPECT_EQ(decoded[0].enclosing_range, c.enclosing);
    EXPECT_EQ(occurrence_range(c.occ), c.range);
  }
}

TEST(DecodeOccurrences, EmptyFrameDecodesToNothing) {
  for (bool declare_size : {true, false}) {
    EXPECT_TRUE(decode_occurrences(zstd_frame("", declare_size)).empty());
    EXPECT_TRUE(decode_relationships(zstd_frame("", declare_size)).empty());
  }
}

TEST(DecodeOccurrences, FailuresCarryTheirPrefixAndCause) {
  std::string document = serialized_document({scip_occurrence("pkg sym", {1, 2, 3})});
  std::string frame = zstd_frame(document);
  struct Case {
    const char* name;
    std::string blob;
    std::string message;  // exact, or a prefix when `prefix_only`
    bool prefix_only;
    bool has_cause;
    std::string relationships_blob = "";  // when the two decoders need different input
  };
  // A symbol of one invalid UTF-8 byte in an occurrence, and in a relationship.
  const std::string bad_occurrence("\x12\x03\x12\x01\xff", 5);
  const std::string bad_relationship("\x22\x03\x0a\x01\xff", 5);
  std::vector<Case> cases = {
      {"empty input", "", "zstd decompression failed: empty input", false, false},
      {"uncompressed message", document, "zstd decompression failed: Unknown frame descriptor", false, true},
      {"truncated frame", frame.substr(0, frame.size() - 3), "zstd decompression failed: ", true, true},
      {"frame declaring 1 TiB", frame_declaring(1ULL << 40),
       "zstd decompression failed: frame declares 1099511627776 bytes of content, more than the limit of 100000000",
       false, false},
      {"two frames", frame + frame, "zstd decompression failed: input holds more than one frame", false, false},
      {"bytes after the frame", frame + "x", "zstd decompression failed: input holds more than one frame", false,
       false},
      {"garbage in a frame", zstd_frame("\xff\xff\xff\xff garbage"), "protobuf decode failed: ", true, true},
      {"truncated message", zstd_frame(document.substr(0, document.size() - 2)), "protobuf decode failed: ", true,
       true},
      {"invalid UTF-8 in a string field", zstd_frame(bad_occurrence), "protobuf decode failed: ", true, true,
       zstd_frame(bad_relationship)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool relationships : {false, true}) {
      try {
        if (relationships) {
          decode_relationships(c.relationships_blob.empty() ? c.blob : c.relationships_blob);
        } else {
          decode_occurrences(c.blob);
        }
        ADD_FAILURE() << "no error";
      } catch (const OccurrenceDecodeError& error) {
        std::string message = error.message();
        if (c.prefix_only) {
          EXPECT_EQ(message.substr(0, c.message.size()), c.message) << message;
          EXPECT_GT(message.size(), c.message.size());
        } else {
          EXPECT_EQ(message, c.message);
        }
        EXPECT_EQ(error.cause() != nullptr, c.has_cause) << message;
      }
    }
  }
}

TEST(DecodeOccurrences, ParserErrorNamesTheMessageType) {
  std::string garbage = zstd_frame("\xff\xff\xff\xff");
  try {
    decode_occurrences(garbage);
    FAIL();
  } catch (const OccurrenceDecodeError& error) {
    EXPECT_EQ(error.message(), "protobuf decode failed: Error parsing message with type 'scip.Document'");
    EXPECT_EQ(cause_text(error.cause()), "Error parsing message with type 'scip.Document'");
  }
  try {
    decode_relationships(garbage);
    FAIL();
  } catch (const OccurrenceDecodeError& error) {
    EXPECT_EQ(error.message(), "protobuf decode failed: Error parsing message with type 'scip.SymbolInformation'");
  }
}

TEST(DecompressFrame, OutputIsBoundedWithOrWithoutDeclaredSize) {
  const std::size_t bound = 1000;
  struct Case {
    const char* name;
    std::string blob;
    std::string error;  // empty: decompresses to `bound` bytes
  };
  std::string at_bound(bound, 'a');
  std::string over_bound(bound + 1, 'a');
  std::vector<Case> cases = {
      {"declared, at the bound", zstd_frame(at_bound, true), ""},
      {"undeclared, at the bound", zstd_frame(at_bound, false), ""},
      {"declared, over the bound", zstd_frame(over_bound, true),
       "zstd decompression failed: frame declares 1001 bytes of content, more than the limit of 1000"},
      {"undeclared, over the bound", zstd_frame(over_bound, false),
       "zstd decompression failed: decompressed content exceeds the limit of 1000 bytes"},
      {"undeclared, far over the bound", zstd_frame(std::string(1 << 20, 'z'), false),
       "zstd decompression failed: decompressed content exceeds the limit of 1000 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.error.empty()) {
      EXPECT_EQ(internal::decompress_frame(c.blob, bound), at_bound);
    } else {
      try {
        internal::decompress_frame(c.blob, bound);
        ADD_FAILURE() << "no error";
      } catch (const OccurrenceDecodeError& error) {
        EXPECT_EQ(error.message(), c.error);
      }
    }
  }
}

TEST(DecodeOccurrences, ColumnValueMustBeABlob) {
  std::string blob = occurrences_blob({scip_occurrence("a b c d e.", {0, 1, 2})});
  core::SqlValue value = std::vector<std::uint8_t>(blob.begin(), blob.end());
  EXPECT_EQ(decode_occurrences(value), decode_occurrences(std::string_view(blob)));

  struct Case {
    core::SqlValue value;
    const char* message;
  };
  std::vector<Case> cases = {
      {core::Null{}, "blob must be a byte string, not NULL"},
      {std::string(blob), "blob must be a byte string, not text"},
      {std::int64_t{0}, "blob must be a byte string, not an integer"},
      {1.5, "blob must be a byte string, not a real"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      decode_occurrences(c.value);
      ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    EXPECT_THROW(decode_relationships(c.value), std::invalid_argument);
  }
}

TEST(DecodeRelationships, CopiesAllFourFlagsInOrder) {
  std::vector<scip::Relationship> rels;
  std::vector<ScipRelationship> expected;
  for (int bits = 0; bits < 16; ++bits) {
    testkit::RelationshipFlags flags{(bits & 1) != 0, (bits & 2) != 0, (bits & 4) != 0, (bits & 8) != 0};
    std::string symbol = "npm pkg 1.0 Sym" + std::to_string(bits) + "#";
    rels.push_back(scip_relationship(symbol, flags));
    expected.push_back({symbol, flags.is_reference, flags.is_implementation, flags.is_type_definition,
                        flags.is_definition});
  }
  EXPECT_EQ(decode_relationships(relationships_blob(rels)), expected);

  // Only `relationships` is read from a full SymbolInformation.
  scip::SymbolInformation info = testkit::scip_symbol(
      "npm pkg 1.0 Impl#", {.kind = 7, .display_name = "Impl", .documentation = {"doc"},
                            .relationships = {scip_relationship("npm pkg 1.0 Base#", {.is_implementation = true})}});
  EXPECT_EQ(decode_relationships(zstd_frame(info.SerializeAsString())),
            (std::vector<ScipRelationship>{{"npm pkg 1.0 Base#", false, true, false, false}}));
}

TEST(ScipRangeToPositions, NormalisesThreeAndFourValues) {
  struct Case {
    Values input;
    std::array<std::int32_t, 4> positions;
  };
  std::vector<Case> cases = {
      {{3, 4, 9}, {3, 4, 3, 9}},
      {{1, 2, 3, 4}, {1, 2, 3, 4}},
      {{2, 5, 1, 0}, {2, 5, 1, 0}},  // end before start is accepted
      {{0, 0, 0}, {0, 0, 0, 0}},
      {{2147483647, 0, 2147483647}, {2147483647, 0, 2147483647, 2147483647}},
  };
  for (const Case& c : cases) EXPECT_EQ(scip_range_to_positions(c.input), c.positions);
}

TEST(ScipRangeToPositions, RejectsWrongLengthsAndNegativesWithExactMessages) {
  struct Case {
    Values input;
    const char* message;
  };
  std::vector<Case> cases = {
      {{}, "unexpected range length 0: ()"},
      {{7}, "unexpected range length 1: (7,)"},
      {{1, 2}, "unexpected range length 2: (1, 2)"},
      {{1, 2, 3, 4, 5}, "unexpected range length 5: (1, 2, 3, 4, 5)"},
      {{-1, -1}, "unexpected range length 2: (-1, -1)"},  // the count is tested first
      {{0, -1, 4}, "negative position in range: (0, -1, 4)"},
      {{-3, 0, 5}, "negative position in range: (-3, 0, 5)"},
      {{1, 2, 3, -4}, "negative position in range: (1, 2, 3, -4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      scip_range_to_positions(c.input);
      ADD_FAILURE() << "no error";
    } catch (const OccurrenceDecodeError& error) {
      EXPECT_EQ(error.message(), c.message);
      EXPECT_EQ(error.cause(), nullptr);
    }
  }
}

TEST(ScipOccurrence, IsDefinitionReadsTheDefinitionBit) {
  for (std::int32_t roles : {1, 3, 65}) EXPECT_TRUE((ScipOccurrence{{}, "", roles, {}}.is_definition())) << roles;
  for (std::int32_t roles : {0, 2, 64}) EXPECT_FALSE((ScipOccurrence{{}, "", roles, {}}.is_definition())) << roles;
}

TEST(SymbolRolesTest, ValuesAreTheSchemaBits) {
  EXPECT_EQ((std::vector<std::int32_t>{SymbolRoles::UNSPECIFIED, SymbolRoles::DEFINITION, SymbolRoles::IMPORT,
                                       SymbolRoles::WRITE_ACCESS, SymbolRoles::READ_ACCESS, SymbolRoles::GENERATED,
                                       SymbolRoles::TEST, SymbolRoles::FORWARD_DEFINITION}),
            (std::vector<std::int32_t>{0, 1, 2, 4, 8, 16, 32, 64}));
}

TEST(ScipOccurrence, EqualityAndHashCoverEveryField) {
  ScipOccurrence base{{1, 2, 3}, "s", 1, {0, 0, 9}};
  std::vector<ScipOccurrence> variants = {
      {{1, 2, 4}, "s", 1, {0, 0, 9}},
      {{1, 2, 3}, "t", 1, {0, 0, 9}},
      {{1, 2, 3}, "s", 0, {0, 0, 9}},
      {{1, 2, 3}, "s", 1, {0, 0, 8}},
  };
  std::unordered_set<ScipOccurrence> set = {base, base};
  EXPECT_EQ(set.size(), 1u);
  for (const auto& other : variants) {
    EXPECT_NE(base, other);
    set.insert(other);
  }
  EXPECT_EQ(set.size(), 1 + variants.size());
  std::unordered_set<ScipRelationship> rels = {{"s", true, false, false, false}, {"s", true, false, false, false},
                                               {"s", false, true, false, false}};
  EXPECT_EQ(rels.size(), 2u);
}

}  // namespace
}  // namespace kolvex::blobcodec
