// Declaration records and identifiers: the values extraction produces and the
// two functions every caller cuts and names them with.
//
// Positions are byte offsets into the captured bytes, rows count from 0 and
// columns count bytes, exactly as tree-sitter reports them. Text is made only by
// cutting a byte range first and decoding it strictly as UTF-8 afterwards.
// Records are plain values; slice_text and syntax_id are pure and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/hash.h"
#include "platform/descriptor_kind.h"
#include "syntax/parse_tree.h"

namespace kolvex::syntax {

using platform::DescriptorKind;

// Strict UTF-8 decoding failed: the text names the byte position and the fault.
class Utf8DecodeError : public core::ValueError {
 public:
  using ValueError::ValueError;
  const char* type_name() const noexcept override { return "Utf8DecodeError"; }
};

// A stretch of the source. The `_character` fields are byte columns.
struct Span {
  std::int64_t start_byte;
  std::int64_t end_byte;
  std::int64_t start_line;
  std::int64_t start_character;
  std::int64_t end_line;
  std::int64_t end_character;

  bool operator==(const Span&) const = default;
};

// One extracted declaration.
struct SyntaxSymbol {
  std::string symbol;  // "syntax:" + 64 hex digits (syntax_id)
  std::string file_path;
  std::string name;
  std::string qualified_name;
  DescriptorKind kind;
  std::optional<std::string> parent_symbol;
  Span declaration;  // the whole declaration, wrappers (decorators, export) included
  Span selection;    // the identifier alone

  bool operator==(const SyntaxSymbol&) const = default;
};

// File states produced by extract_file.
inline constexpr std::string_view STATE_PARSED = "parsed";
inline constexpr std::string_view STATE_PARTIAL = "partial";
inline constexpr std::string_view STATE_FAILED = "failed";

// The outcome of extracting one file. The tree belongs to the calling worker for
// the handling of this one file; the symbols keep no reference to it.
struct ParsedSyntax {
  std::string file_path;
  std::string file_hash;  // SHA-256 of the bytes, 64 lower-case hex digits
  std::string language;
  std::string parser_identity;
  std::string state;  // "parsed", "partial" or "failed"
  std::optional<std::string> reason;
  std::vector<SyntaxSymbol> symbols;
  std::optional<ParseTree> tree;  // absent for "failed"
};

// Bytes [start, end) of `source` decoded as strict UTF-8. `end` is clamped to the
// source; an empty or inverted range gives "". Throws Utf8DecodeError when the
// range holds an invalid sequence or cuts a character in two.
std::string slice_text(std::string_view source, std::int64_t start, std::int64_t end);

// The declaration id: "syntax:" + SHA-256 of the compact JSON array
// [file_path, file_hash, selection.start_byte, selection.end_byte, kind text].
std::string syntax_id(std::string_view file_path, std::string_view file_hash, const Span& selection,
                      DescriptorKind kind);

// syntax_id for the declarations of one file: the file's part of the JSON array
// is written once instead of for every declaration. Same ids as syntax_id.
// One maker belongs to one thread at a time.
class SyntaxIdMaker {
 public:
  SyntaxIdMaker(std::string_view file_path, std::string_view file_hash);
  std::string operator()(const Span& selection, DescriptorKind kind);

 private:
  core::Sha256Prefix file_part_;  // hashed once: "[" + path + "," + hash + ","
  std::string rest_;              // the rest of each payload, reused for every id
};

// The strict decoder's description of the first invalid sequence of `bytes`
// (position and fault), or nullopt when the bytes are valid UTF-8.
std::optional<std::string> utf8_fault_text(std::string_view bytes);

}  // namespace kolvex::syntax
