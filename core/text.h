// Text rules: strict UTF-8, decoding with replacement, and the Python text rules the
// system's stored formats and messages rely on (line splitting, stripping, quoting
// of names, float printing). Written once here; every module uses these.
//
// All functions are pure and thread-safe. Byte strings are std::string /
// std::string_view holding raw bytes; "text" means valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core {

// --- UTF-8 (RFC 3629: no surrogates, no overlongs, nothing above U+10FFFF) ---

struct Utf8Fault {
  std::size_t offset;  // byte offset of the first byte of the bad sequence
  std::string reason;  // "invalid start byte", "invalid continuation byte", "unexpected end of data"
};

// The first fault in `bytes`, or none when it is valid UTF-8.
std::optional<Utf8Fault> find_utf8_fault(std::string_view bytes) noexcept;
bool is_valid_utf8(std::string_view bytes) noexcept;

// Decodes with U+FFFD for every maximal invalid subpart (as Python's
// bytes.decode("utf-8", "replace")). Valid input is returned unchanged.
std::string decode_utf8_replace(std::string_view bytes);

// Code points of valid UTF-8 (undefined for invalid input: validate first).
std::vector<char32_t> to_code_points(std::string_view text);
std::string from_code_points(const std::vector<char32_t>& points);
void append_utf8(std::string& out, char32_t point);
// Number of code points (Python's len(str)).
std::size_t code_point_length(std::string_view text) noexcept;
// Python's text[start:end] on code points, with clamping like Python's slices
// (non-negative indices only; end = npos means to the end).
std::string_view code_point_slice(std::string_view text, std::size_t start,
                                  std::size_t end = std::string_view::npos) noexcept;

// --- Python str rules ---

// str.splitlines(): boundaries \n, \r\n, \r, \v, \f, \x1c, \x1d, \x1e, U+0085,
// U+2028, U+2029. No empty last element for a trailing boundary.
std::vector<std::string_view> splitlines(std::string_view text, bool keepends = false);

// str.isspace() on one code point.
bool is_python_whitespace(char32_t point) noexcept;
// str.strip() / lstrip() / rstrip() with no argument (Unicode whitespace).
std::string_view strip(std::string_view text) noexcept;
std::string_view lstrip(std::string_view text) noexcept;
std::string_view rstrip(std::string_view text) noexcept;

// The first line (splitlines rules) that is not blank after strip(), returned
// unchanged with its own surrounding white space; none when every line is
// blank. This is how a failure text becomes a one-line reason.
std::optional<std::string> first_non_blank_line(std::string_view text);

// The quoted literal of a name as messages show it (Python's repr of a str):
// single quotes unless the text holds ' and no ", backslash escapes for \\, the
// enclosing quote, \t \n \r, and \xNN / \uNNNN / \UNNNNNNNN for characters that
// are not printable; printable non-ASCII stays as it is.
std::string quote(std::string_view text);

// Python's repr() of a float: shortest round-trip digits, "5.0", "0.5", "1e+16",
// "1.5e-07", "inf", "-inf", "nan".
std::string format_float(double value);

// Python's float() of a str: white space around the number is ignored (the
// ASCII " \t\n\v\f\r" and every non-ASCII str.isspace() character; not
// "\x1c".."\x1f"); then an optional sign and either "inf", "infinity" or "nan" in any
// case, or decimal digits with an optional "." fraction and "e"/"E" exponent,
// where a digit of any script counts as its value and "_" may stand only
// between two digits. Past the range of a double the value is +-inf or +-0.0.
// None for anything else: "0x10", "1e", ".", "1__0", "_1", an inner space,
// bytes that are not UTF-8.
std::optional<double> parse_python_float(std::string_view text);

// ASCII-only lower/upper casing (bytes outside A-Z / a-z unchanged).
std::string ascii_lower(std::string_view text);
std::string ascii_upper(std::string_view text);

// Python's str.lower(): the Unicode default lower-case conversion with full
// mappings ("\u0130" becomes "i\u0307") and the Final_Sigma context (a capital
// sigma that ends a word becomes "\u03c2"), no language tailoring. Bytes that
// are not valid UTF-8 are copied unchanged.
std::string unicode_lower(std::string_view text);

// Joins parts with a separator.
std::string join(const std::vector<std::string>& parts, std::string_view separator);
std::string join(const std::vector<std::string_view>& parts, std::string_view separator);

bool starts_with(std::string_view text, std::string_view prefix) noexcept;
bool ends_with(std::string_view text, std::string_view suffix) noexcept;

// Python's universal newlines on reading text: "\r\n" and a lone "\r" each become "\n".
std::string universal_newlines(std::string_view text);

}  // namespace kolvex::core
