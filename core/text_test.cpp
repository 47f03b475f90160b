#include "core/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace kolvex::core {
namespace {

using Lines = std::vector<std::string_view>;

TEST(Utf8, FaultsNameOffsetAndReasonLikePython) {
  struct Case {
    std::string bytes;
    std::optional<std::size_t> offset;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"plain ascii", std::nullopt, ""},
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", std::nullopt, ""},
      {"\xFF", 0, "invalid start byte"},
      {"ab\x80", 2, "invalid start byte"},
      {"\xC0\xAF", 0, "invalid start byte"},                  // overlong lead byte
      {"a\xC3(", 1, "invalid continuation byte"},
      {"\xE0\x80\x80", 0, "invalid continuation byte"},       // overlong three-byte form
      {"\xED\xA0\x80", 0, "invalid continuation byte"},       // surrogate U+D800
      {"abc\xF4\x90\x80\x80", 3, "invalid continuation byte"},  // above U+10FFFF
      {"\xE0\xA0", 0, "unexpected end of data"},
      {"ok\xF0\x9F\x98", 2, "unexpected end of data"},
      {std::string("nul\0ok", 6), std::nullopt, ""},
  };
  for (const Case& c : cases) {
    const auto fault = find_utf8_fault(c.bytes);
    EXPECT_EQ(is_valid_utf8(c.bytes), !c.offset) << c.bytes;
    if (!c.offset) {
      EXPECT_FALSE(fault) << c.bytes;
      continue;
    }
    ASSERT_TRUE(fault) << c.bytes;
    EXPECT_EQ(fault->offset, *c.offset) << c.bytes;
    EXPECT_EQ(fault->reason, c.reason) << c.bytes;
  }
}

TEST(Utf8, ReplacementUsesMaximalSubparts) {
  const std::string R = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"valid \xC3\xA9", "valid \xC3\xA9"},
      {"\xE0\x80", R + R},                 // E0 80: 80 cannot follow E0
      {"\xE0\xA0", R},                     // truncated sequence: one replacement
      {"abc\xF4\x90\x80\x80", "abc" + R + R + R + R},
      {"\xED\xA0\x80x", R + R + R + "x"},
      {"\xF0\x9F\x98", R},
      {"a\xC3(", "a" + R + "("},
      {"\xC0\xAF", R + R},
      {"\xF0\x9F\x98\x80\xFF", "\xF0\x9F\x98\x80" + R},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(decode_utf8_replace(input), expected) << input;
}

TEST(Utf8, CodePointsLengthAndSlices) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  EXPECT_EQ(code_point_length(text), 5u);
  EXPECT_EQ(to_code_points(text), (std::vector<char32_t>{U'a', 0xE9, 0x20AC, 0x1F600, U'z'}));
  EXPECT_EQ(from_code_points(to_code_points(text)), text);
  EXPECT_EQ(code_point_slice(text, 1, 3), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(code_point_slice(text, 3), "\xF0\x9F\x98\x80z");
  EXPECT_EQ(code_point_slice(text, 0, 1), "a");
  EXPECT_EQ(code_point_slice(text, 4, 100), "z");
  EXPECT_EQ(code_point_slice(text, 5), "");
  EXPECT_EQ(code_point_slice(text, 9, 12), "");
  EXPECT_EQ(code_point_slice(text, 3, 2), "");
  EXPECT_EQ(code_point_length(""), 0u);
}

TEST(Text, SplitlinesBoundariesLikePython) {
  // a U+2028 b U+0085 c CRLF d CR e FS f VT g FF h LF
  const std::string text = "a\xE2\x80\xA8" "b\xC2\x85" "c\r\nd\re\x1C" "f\vg\fh\n";
  EXPECT_EQ(splitlines(text), (Lines{"a", "b", "c", "d", "e", "f", "g", "h"}));
  EXPECT_EQ(splitlines(text, true), (Lines{"a\xE2\x80\xA8", "b\xC2\x85", "c\r\n", "d\r", "e\x1C", "f\v", "g\f",
                                           "h\n"}));
  EXPECT_EQ(splitlines("x\n\n"), (Lines{"x", ""}));
  EXPECT_EQ(splitlines("x\n\n", true), (Lines{"x\n", "\n"}));
  EXPECT_EQ(splitlines("\n"), (Lines{""}));
  EXPECT_EQ(splitlines(""), (Lines{}));
  EXPECT_EQ(splitlines("no end"), (Lines{"no end"}));
  EXPECT_EQ(splitlines("\r\r\n"), (Lines{"", ""}));
  // U+001F (unit separator) and U+2029's neighbour U+202A are not boundaries.
  EXPECT_EQ(splitlines("a\x1F" "b\xE2\x80\xAA" "c"), (Lines{"a\x1F" "b\xE2\x80\xAA" "c"}));
  EXPECT_EQ(splitlines("a\xE2\x80\xA9" "b"), (Lines{"a", "b"}));
}

TEST(Text, StripUsesPythonWhitespace) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  x y \t\n", "x y"},
      {"\xC2\xA0\xE3\x80\x80x\xE2\x80\x83\xC2\x85", "x"},  // NBSP, ideographic space, em space, NEL
      {"\x1C\x1D\x1E\x1Fx\v\f\r", "x"},
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // zero-width space is not whitespace
      {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},                          // nor is the byte-order mark
      {" \t ", ""},
      {"", ""},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(strip(input), expected) << input;
  EXPECT_EQ(lstrip("  a  "), "a  ");
  EXPECT_EQ(rstrip("  a  "), "  a");
  EXPECT_TRUE(is_python_whitespace(0x2028));
  EXPECT_TRUE(is_python_whitespace(0x1680));
  EXPECT_FALSE(is_python_whitespace(0x180E));
  EXPECT_FALSE(is_python_whitespace(U'x'));
}

TEST(Text, FirstNonBlankLineKeepsItsOwnWhiteSpace) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"\n  \n\t first one  \nsecond", "\t first one  "},
      {"\xC2\xA0\r\n x", " x"},
      {"first\r\nsecond", "first"},
      {"\fword", "word"},
      {"\x1c\x1d\x1e\n\u2028 tail", " tail"},
      {" \n\t\n", std::nullopt},
      {"\r\n\r \t", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, line] : cases) EXPECT_EQ(first_non_blank_line(text), line) << text;
}

TEST(Text, QuoteFollowsPythonRepr) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"python", "'python'"},
      {"", "''"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"both ' and \"", "'both \\' and \"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"tab\there\nline\rret", "'tab\\there\\nline\\rret'"},
      {std::string("nul\0bell\x07" "del\x7F", 13), "'nul\\x00bell\\x07del\\x7f'"},
      {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "'caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80'"},
      {"soft\xC2\xAD" "hyphen", "'soft\\xadhyphen'"},      // Cf below U+0100
      {"nbsp\xC2\xA0", "'nbsp\\xa0'"},                     // Zs other than the ASCII space
      {"zw\xE2\x80\x8B", "'zw\\u200b'"},                   // Cf
      {"ls\xE2\x80\xA8", "'ls\\u2028'"},                   // Zl
      {"ideo\xE3\x80\x80", "'ideo\\u3000'"},
      {"unassigned\xED\x9F\xBF", "'unassigned\\ud7ff'"},  // Cn
      {"tag\xF3\xA0\x80\x81", "'tag\\U000e0001'"},
      {"private\xF4\x8F\xBF\xBF", "'private\\U0010ffff'"},  // Co / noncharacter
      {"bad\xFF" "byte", "'bad\\udcffbyte'"},              // as a surrogateescape'd path shows
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(quote(input), expected) << input;
}

TEST(Text, FormatFloatLikePythonRepr) {
  const std::vector<std::pair<double, std::string>> cases = {
      {5.0, "5.0"},
      {0.5, "0.5"},
      {1e16, "1e+16"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {123456789012345.0, "123456789012345.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {1.5e-07, "1.5e-07"},
      {2.5e-05, "2.5e-05"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {-1.5, "-1.5"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e22, "1e+22"},
      {1e100, "1e+100"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(format_float(value), expected) << expected;
}

// Each case: the text, and Python's repr() of float(text), or none where
// float() raises ValueError.
TEST(Text, ParsePythonFloatLikeFloatOfAStr) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      // Decimal forms, signs, surrounding white space.
      {"1", "1.0"}, {"1.5", "1.5"}, {" 1.5 ", "1.5"}, {"\t2\n", "2.0"}, {"\v3\f\r", "3.0"}, {"007", "7.0"},
      {"1.", "1.0"}, {"1.e2", "100.0"}, {".5", "0.5"}, {"-0", "-0.0"}, {"+7", "7.0"}, {"-2.5", "-2.5"},
      {"1e3", "1000.0"}, {"1E+3", "1000.0"}, {"1e-3", "0.001"},
      // Underscores between digits only.
      {"1_000", "1000.0"}, {"1_000.000_1", "1000.0001"}, {"1_0e1_0", "100000000000.0"},
      {"1__000", std::nullopt}, {"_1", std::nullopt}, {"1_", std::nullopt}, {"1_.5", std::nullopt},
      {"1._5", std::nullopt}, {"1e_3", std::nullopt}, {"in_f", std::nullopt},
      // Words in any case, with a sign.
      {"inf", "inf"}, {"-Inf", "-inf"}, {"+INFINITY", "inf"}, {"iNfInItY", "inf"}, {"nan", "nan"},
      {"-NaN", "nan"}, {"infin", std::nullopt}, {"infinite", std::nullopt}, {"nan1", std::nullopt},
      // Past the range of a double.
      {"1e400", "inf"}, {"-1e400", "-inf"}, {"1e-400", "0.0"}, {"5e-324", "5e-324"},
      // Digits and white space of other scripts.
      {"\u0661\u0662", "12.0"}, {"\u0661_\u0662", "12.0"}, {"\uff11\uff10.5", "10.5"},
      {"\u00a01\u2003", "1.0"}, {"\u00853", "3.0"},
      {"\x1c" "3", std::nullopt}, {"3\x1f", std::nullopt}, {"\u2167", std::nullopt}, {"1\u00e9", std::nullopt},
      // Other number syntaxes and broken forms.
      {"0x10", std::nullopt}, {"0x1p3", std::nullopt}, {"0b1", std::nullopt}, {"1j", std::nullopt},
      {"1d3", std::nullopt}, {"1f", std::nullopt}, {"1,5", std::nullopt}, {"1.5.2", std::nullopt},
      {"1e", std::nullopt}, {"1e+", std::nullopt}, {"e5", std::nullopt}, {".", std::nullopt},
      {"", std::nullopt}, {"   ", std::nullopt}, {"1 0", std::nullopt}, {"- 1", std::nullopt},
      {"--1", std::nullopt}, {"+-1", std::nullopt}, {std::string("1\0", 2), std::nullopt},
      {"1\xff", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    const std::optional<double> value = parse_python_float(text);
    EXPECT_EQ(value ? std::optional<std::string>(format_float(*value)) : std::nullopt, expected) << quote(text);
  }
  // The sign of a NaN is kept, as float("-nan") keeps it.
  EXPECT_TRUE(std::signbit(*parse_python_float("-nan")));
  EXPECT_FALSE(std::signbit(*parse_python_float("nan")));
}

TEST(Text, SmallHelpers) {
  EXPECT_EQ(ascii_lower("MiXeD \xC3\x89"), "mixed \xC3\x89");
  EXPECT_EQ(ascii_upper("MiXeD \xC3\xA9"), "MIXED \xC3\xA9");
  EXPECT_EQ(join(std::vector<std::string>{"a", "b", "c"}, ", "), "a, b, c");
  EXPECT_EQ(join(std::vector<std::string_view>{}, ","), "");
  EXPECT_TRUE(starts_with("prefix-rest", "prefix"));
  EXPECT_FALSE(ends_with("x", "xx"));
  EXPECT_EQ(universal_newlines("a\r\nb\rc\n\r"), "a\nb\nc\n\n");
}

TEST(Text, UnicodeLowerFollowsPythonStrLower) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ReadFile_42", "readfile_42"},
      {"\u00C0\u00C9\u00CE \u00DF", "\u00E0\u00E9\u00EE \u00DF"},  // Latin-1; sharp s stays
      {"\u0100\u0102\u01C5\u01C4", "\u0101\u0103\u01C6\u01C6"},    // alternating runs, title case
      {"\u0130stanbul", "i\u0307stanbul"},                               // full mapping: two code points
      {"\u212A\u2126\u1E9E", "k\u03C9\u00DF"},                        // Kelvin, Ohm, capital sharp s
      {"\U00010400\U0001E900", "\U00010428\U0001E922"},                // Deseret, Adlam
      {"\u0410\u0411\u0412", "\u0430\u0431\u0432"},                  // Cyrillic
      // Final_Sigma: after a cased letter and not before one, case-ignorables skipped.
      {"\u039F\u0394\u039F\u03A3", "\u03BF\u03B4\u03BF\u03C2"},
      {"\u03A3", "\u03C3"},
      {"\u03A3A", "\u03C3a"},
      {"A\u03A3 b", "a\u03C2 b"},
      {"A'\u03A3", "a'\u03C2"},
      {"A\u03A3'b", "a\u03C3'b"},
      {"1\u03A3", "1\u03C3"},
      {"\u03A3\u03A3", "\u03C3\u03C2"},
      {"A\xFF\u03A3", "a\xFF\u03C3"},  // an invalid byte is copied and is not a letter
      {"\xC3(", "\xC3("},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(unicode_lower(text), expected) << text;
}

}  // namespace
}  // namespace kolvex::core
