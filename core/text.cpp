#include "core/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kolvex::core {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Every stride-th code point from first to last lower-cases to itself + delta.
struct LowerRun {
  char32_t first;
  char32_t last;
  char32_t stride;
  std::int32_t delta;
};

// A code point whose lower-case form is several code points.
struct LowerSpecial {
  char32_t point;
  char32_t lower[3];
};

#include "core/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodePointRange (&table)[N], char32_t point) noexcept {
  auto it = std::upper_bound(std::begin(table), std::end(table), point,
                             [](char32_t p, const CodePointRange& r) { return p < r.first; });
  if (it == std::begin(table)) return false;
  --it;
  return point >= it->first && point <= it->last;
}

bool is_printable(char32_t point) noexcept { return !in_ranges(NON_PRINTABLE_RANGES, point); }

// The value of a Unicode decimal digit (category Nd), or -1 for anything else.
int decimal_value(char32_t point) noexcept {
  auto it = std::upper_bound(std::begin(DECIMAL_DIGIT_RANGES), std::end(DECIMAL_DIGIT_RANGES), point,
                             [](char32_t p, const CodePointRange& r) { return p < r.first; });
  if (it == std::begin(DECIMAL_DIGIT_RANGES)) return -1;
  --it;
  if (point > it->last) return -1;
  return static_cast<int>((point - it->first) % 10);
}

bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The number of ASCII digits at the start of `text`.
std::size_t digit_run(std::string_view text) noexcept {
  std::size_t n = 0;
  while (n < text.size() && is_ascii_digit(text[n])) ++n;
  return n;
}

// The C locale, whatever the process's locale: numbers on the command line
// always use "." as their decimal point.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

enum class Fault { none, invalid_start, invalid_continuation, unexpected_end };

// One decoding step at `pos`: a code point, or a fault covering the maximal
// invalid subpart (the longest prefix of a well-formed sequence), as Python's
// UTF-8 decoder delimits it.
struct Step {
  char32_t point;
  std::size_t length;
  Fault fault;
};

Step decode_step(std::string_view bytes, std::size_t pos) noexcept {
  const unsigned first = static_cast<unsigned char>(bytes[pos]);
  if (first < 0x80) return {first, 1, Fault::none};
  std::size_t needed;
  unsigned low = 0x80, high = 0xBF;
  char32_t point;
  if (first >= 0xC2 && first <= 0xDF) {
    needed = 1;
    point = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    needed = 2;
    point = first & 0x0F;
    if (first == 0xE0) low = 0xA0;        // no overlongs
    else if (first == 0xED) high = 0x9F;  // no surrogates
  } else if (first >= 0xF0 && first <= 0xF4) {
    needed = 3;
    point = first & 0x07;
    if (first == 0xF0) low = 0x90;        // no overlongs
    else if (first == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0xFFFD, 1, Fault::invalid_start};
  }
  for (std::size_t i = 1; i <= needed; ++i) {
    if (pos + i >= bytes.size()) return {0xFFFD, i, Fault::unexpected_end};
    const unsigned byte = static_cast<unsigned char>(bytes[pos + i]);
    if (byte < low || byte > high) return {0xFFFD, i, Fault::invalid_continuation};
    low = 0x80;
    high = 0xBF;
    point = (point << 6) | (byte & 0x3F);
  }
  return {point, needed + 1, Fault::none};
}

const char* fault_reason(Fault fault) noexcept {
  switch (fault) {
    case Fault::invalid_start: return "invalid start byte";
    case Fault::invalid_continuation: return "invalid continuation byte";
    case Fault::unexpected_end: return "unexpected end of data";
    case Fault::none: break;
  }
  return "";
}

bool is_line_boundary(char32_t point) noexcept {
  switch (point) {
    case U'\n': case U'\r': case U'\v': case U'\f': case 0x1C: case 0x1D: case 0x1E:
    case 0x85: case 0x2028: case 0x2029:
      return true;
    default:
      return false;
  }
}

bool whitespace_at(std::string_view text, std::size_t pos, std::size_t& length) noexcept {
  const Step step = decode_step(text, pos);
  length = step.length;
  return step.fault == Fault::none && is_python_whitespace(step.point);
}

void append_hex(std::string& out, char prefix, unsigned value, int digits) {
  static constexpr char HEX[] = "0123456789abcdef";
  out += '\\';
  out += prefix;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += HEX[(value >> shift) & 0xF];
}

void append_repr_char(std::string& out, char32_t point, char quote_char) {
  if (point == U'\\' || point == static_cast<char32_t>(quote_char)) {
    out += '\\';
    out += static_cast<char>(point);
  } else if (point == U'\t') {
    out += "\\t";
  } else if (point == U'\n') {
    out += "\\n";
  } else if (point == U'\r') {
    out += "\\r";
  } else if (point < 0x20 || point == 0x7F) {
    append_hex(out, 'x', point, 2);
  } else if (point < 0x80 || is_printable(point)) {
    append_utf8(out, point);
  } else if (point <= 0xFF) {
    append_hex(out, 'x', point, 2);
  } else if (point <= 0xFFFF) {
    append_hex(out, 'u', point, 4);
  } else {
    append_hex(out, 'U', point, 8);
  }
}

}  // namespace

std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = decode_step(bytes, pos);
    if (step.fault != Fault::none) {
      try {
        return Utf8Fault{pos, fault_reason(step.fault)};
      } catch (...) {
        return std::nullopt;  // only on allocation failure of a short string
      }
    }
    pos += step.length;
  }
  return std::nullopt;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = decode_step(bytes, pos);
    if (step.fault != Fault::none) return false;
    pos += step.length;
  }
  return true;
}

std::string decode_utf8_replace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const Step step = decode_step(bytes, pos);
    if (step.fault == Fault::none) {
      out.append(bytes.substr(pos, step.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    pos += step.length;
  }
  return out;
}

std::vector<char32_t> to_code_points(std::string_view text) {
  std::vector<char32_t> points;
  points.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Step step = decode_step(text, pos);
    points.push_back(step.point);
    pos += step.length;
  }
  return points;
}

std::string from_code_points(const std::vector<char32_t>& points) {
  std::string out;
  out.reserve(points.size());
  for (char32_t point : points) append_utf8(out, point);
  return out;
}

void append_utf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

std::size_t code_point_length(std::string_view text) noexcept {
  std::size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::string_view code_point_slice(std::string_view text, std::size_t start, std::size_t end) noexcept {
  if (end <= start) return text.substr(0, 0);
  std::size_t index = 0, pos = 0, begin_byte = text.size(), end_byte = text.size();
  while (pos < text.size()) {
    if (index == start) begin_byte = pos;
    if (index == end) {
      end_byte = pos;
      break;
    }
    pos += decode_step(text, pos).length;
    ++index;
  }
  if (begin_byte >= end_byte) return text.substr(text.size(), 0);
  return text.substr(begin_byte, end_byte - begin_byte);
}

std::vector<std::string_view> splitlines(std::string_view text, bool keepends) {
  std::vector<std::string_view> lines;
  std::size_t line_start = 0, pos = 0;
  while (pos < text.size()) {
    const Step step = decode_step(text, pos);
    if (step.fault == Fault::none && is_line_boundary(step.point)) {
      std::size_t boundary_end = pos + step.length;
      if (step.point == U'\r' && boundary_end < text.size() && text[boundary_end] == '\n') ++boundary_end;
      lines.push_back(text.substr(line_start, (keepends ? boundary_end : pos) - line_start));
      line_start = pos = boundary_end;
    } else {
      pos += step.length;
    }
  }
  if (line_start < text.size()) lines.push_back(text.substr(line_start));
  return lines;
}

bool is_python_whitespace(char32_t point) noexcept { return in_ranges(WHITESPACE_RANGES, point); }

std::string_view lstrip(std::string_view text) noexcept {
  std::size_t pos = 0, length = 0;
  while (pos < text.size() && whitespace_at(text, pos, length)) pos += length;
  return text.substr(pos);
}

std::string_view rstrip(std::string_view text) noexcept {
  std::size_t pos = 0, length = 0, keep_end = 0;
  while (pos < text.size()) {
    const bool space = whitespace_at(text, pos, length);
    pos += length;
    if (!space) keep_end = pos;
  }
  return text.substr(0, keep_end);
}

std::string_view strip(std::string_view text) noexcept { return rstrip(lstrip(text)); }

std::optional<std::string> first_non_blank_line(std::string_view text) {
  for (std::string_view line : splitlines(text)) {
    if (!strip(line).empty()) return std::string(line);
  }
  return std::nullopt;
}

std::string quote(std::string_view text) {
  const bool has_single = text.find('\'') != std::string_view::npos;
  const bool has_double = text.find('"') != std::string_view::npos;
  const char quote_char = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(text.size() + 2);
  out += quote_char;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Step step = decode_step(text, pos);
    if (step.fault == Fault::none) {
      append_repr_char(out, step.point, quote_char);
    } else {
      // Undecodable bytes show as Python shows a path decoded with
      // surrogateescape: one \udcXX per byte.
      for (std::size_t i = 0; i < step.length; ++i) {
        append_hex(out, 'u', 0xDC00 | static_cast<unsigned char>(text[pos + i]), 4);
      }
    }
    pos += step.length;
  }
  out += quote_char;
  return out;
}

std::string format_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest round-trip digits in scientific form: "-d.ddde+XX".
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;
  std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  // Python's repr switches to exponent notation below 1e-4 and from 1e16 on.
  if (exponent < -4 || exponent >= 16) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    char exp_text[16];
    std::snprintf(exp_text, sizeof exp_text, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += exp_text;
    return out;
  }
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  }
  return out;
}

std::optional<double> parse_python_float(std::string_view text) {
  if (!is_valid_utf8(text)) return std::nullopt;
  // White space beyond ASCII becomes a space and digits of any script ASCII
  // digits; any other non-ASCII character makes the text invalid. ASCII stays
  // as it is, so of the ASCII white space only " \t\n\v\f\r" is stripped.
  std::string spaced;
  for (char32_t point : to_code_points(text)) {
    if (point < 0x80) {
      spaced += static_cast<char>(point);
    } else if (is_python_whitespace(point)) {
      spaced += ' ';
    } else if (const int value = decimal_value(point); value >= 0) {
      spaced += static_cast<char>('0' + value);
    } else {
      return std::nullopt;
    }
  }
  constexpr std::string_view ASCII_SPACE = " \t\n\v\f\r";
  const std::size_t first = spaced.find_first_not_of(ASCII_SPACE);
  if (first == std::string::npos) return std::nullopt;
  const std::string ascii = spaced.substr(first, spaced.find_last_not_of(ASCII_SPACE) + 1 - first);
  // "_" only between two digits; then it is dropped.
  std::string number;
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (ascii[i] != '_') {
      number += ascii[i];
      continue;
    }
    if (i == 0 || i + 1 == ascii.size() || !is_ascii_digit(ascii[i - 1]) || !is_ascii_digit(ascii[i + 1])) {
      return std::nullopt;
    }
  }

  std::string_view rest = number;
  bool negative = false;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  const std::string word = ascii_lower(rest);
  if (word == "inf" || word == "infinity") {
    return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (word == "nan") return std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);

  // digits ["." [digits]] | "." digits, then an optional exponent with digits.
  std::size_t pos = digit_run(rest);
  std::size_t mantissa_digits = pos;
  if (pos < rest.size() && rest[pos] == '.') {
    const std::size_t fraction = digit_run(rest.substr(pos + 1));
    mantissa_digits += fraction;
    pos += 1 + fraction;
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (pos < rest.size() && (rest[pos] == 'e' || rest[pos] == 'E')) {
    ++pos;
    if (pos < rest.size() && (rest[pos] == '+' || rest[pos] == '-')) ++pos;
    const std::size_t exponent = digit_run(rest.substr(pos));
    if (exponent == 0) return std::nullopt;
    pos += exponent;
  }
  if (pos != rest.size()) return std::nullopt;
  // Correctly rounded; past the range of a double it gives +-inf or +-0.0, as
  // Python does.
  const double magnitude = strtod_l(std::string(rest).c_str(), nullptr, c_locale());
  return negative ? -magnitude : magnitude;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

namespace {

constexpr char32_t CAPITAL_SIGMA = 0x3A3;
constexpr char32_t SMALL_SIGMA = 0x3C3;
constexpr char32_t FINAL_SIGMA = 0x3C2;

void append_lower(std::string& out, char32_t point) {
  for (const LowerSpecial& special : LOWER_SPECIALS) {
    if (special.point != point) continue;
    for (char32_t lower : special.lower) {
      if (lower != 0) append_utf8(out, lower);
    }
    return;
  }
  auto it = std::upper_bound(std::begin(LOWER_RUNS), std::end(LOWER_RUNS), point,
                             [](char32_t p, const LowerRun& run) { return p < run.first; });
  if (it != std::begin(LOWER_RUNS)) {
    --it;
    if (point <= it->last && (point - it->first) % it->stride == 0) {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(point) + it->delta));
      return;
    }
  }
  append_utf8(out, point);
}

// The decoded code points of `text` with their byte spans; an invalid byte
// sequence is a span without a code point.
struct Decoded {
  std::optional<char32_t> point;
  std::size_t offset;
  std::size_t length;
};

std::vector<Decoded> decode_spans(std::string_view text) {
  std::vector<Decoded> spans;
  for (std::size_t pos = 0; pos < text.size();) {
    const Step step = decode_step(text, pos);
    if (step.fault == Fault::none) {
      spans.push_back({step.point, pos, step.length});
    } else {
      spans.push_back({std::nullopt, pos, step.length});
    }
    pos += step.length;
  }
  return spans;
}

bool is_case_ignorable(const Decoded& span) noexcept {
  return span.point && in_ranges(CASE_IGNORABLE_RANGES, *span.point);
}

// Final_Sigma: a cased letter, then any case-ignorable characters, before the
// sigma, and no case-ignorable characters followed by a cased letter after it.
bool is_final_sigma(const std::vector<Decoded>& spans, std::size_t index) noexcept {
  std::size_t before = index;
  while (before > 0 && is_case_ignorable(spans[before - 1])) --before;
  if (before == 0 || !spans[before - 1].point || !in_ranges(CASED_RANGES, *spans[before - 1].point)) return false;
  std::size_t after = index + 1;
  while (after < spans.size() && is_case_ignorable(spans[after])) ++after;
  return after == spans.size() || !spans[after].point || !in_ranges(CASED_RANGES, *spans[after].point);
}

}  // namespace

std::string unicode_lower(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return ascii_lower(text);
  }
  std::string out;
  out.reserve(text.size());
  const std::vector<Decoded> spans = decode_spans(text);
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const Decoded& span = spans[i];
    if (!span.point) {
      out.append(text.substr(span.offset, span.length));
    } else if (*span.point == CAPITAL_SIGMA) {
      append_utf8(out, is_final_sigma(spans, i) ? FINAL_SIGMA : SMALL_SIGMA);
    } else {
      append_lower(out, *span.point);
    }
  }
  return out;
}

namespace {
template <typename Part>
std::string join_parts(const std::vector<Part>& parts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}
}  // namespace

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  return join_parts(parts, separator);
}

std::string join(const std::vector<std::string_view>& parts, std::string_view separator) {
  return join_parts(parts, separator);
}

bool starts_with(std::string_view text, std::string_view prefix) noexcept { return text.starts_with(prefix); }

bool ends_with(std::string_view text, std::string_view suffix) noexcept { return text.ends_with(suffix); }

std::string universal_newlines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace kolvex::core
