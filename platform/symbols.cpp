#include "platform/symbols.h"

#include <array>
#include <unordered_map>

#include "core/sqlite.h"
#include "core/text.h"

namespace kolvex::platform {
namespace {

// The descriptor suffixes that follow a name: namespace "/", type "#", term
// ".", meta ":", macro "!". A method is "(" ... ")." and handled apart.
constexpr std::array<std::pair<char, DescriptorKind>, 5> NAME_SUFFIXES = {{
    {'/', DescriptorKind::NAMESPACE},
    {'#', DescriptorKind::TYPE},
    {'.', DescriptorKind::TERM},
    {':', DescriptorKind::META},
    {'!', DescriptorKind::MACRO},
}};

struct Descriptor {
  std::string name;
  DescriptorKind kind;
};

// A cursor over one SCIP symbol string. Every parse function answers false for
// a malformed symbol; such symbols are left out of the name map.
class SymbolParser {
 public:
  explicit SymbolParser(std::string_view text) : text_(text) {}

  // Skips the scheme, manager, package name and version. A component is either
  // a backtick group or a run of characters up to a single space (a double
  // space stands for a space inside the component).
  bool skip_header() {
    for (int component = 0; component < 4; ++component) {
      if (at_end()) return false;
      if (peek() == '`') {
        std::string ignored;
        if (!escaped_name(ignored)) return false;
      } else {
        while (!at_end()) {
          if (peek() == ' ') {
            if (pos_ + 1 < text_.size() && text_[pos_ + 1] == ' ') {
              pos_ += 2;
              continue;
            }
            break;
          }
          ++pos_;
        }
      }
      if (at_end() || peek() != ' ') return false;
      ++pos_;
    }
    return true;
  }

  bool descriptors(std::vector<Descriptor>& out) {
    while (!at_end()) {
      Descriptor descriptor;
      if (peek() == '[') {
        ++pos_;
        if (!name(descriptor.name) || !expect(']')) return false;
        descriptor.kind = DescriptorKind::TYPE_PARAMETER;
      } else if (peek() == '(') {
        ++pos_;
        if (!name(descriptor.name) || !expect(')')) return false;
        descriptor.kind = DescriptorKind::PARAMETER;
      } else {
        if (!name(descriptor.name) || at_end()) return false;
        char suffix = text_[pos_++];
        if (suffix == '(') {
          std::size_t close = text_.find(')', pos_);
          if (close == std::string_view::npos) return false;
          pos_ = close + 1;
          if (!expect('.')) return false;
          descriptor.kind = DescriptorKind::METHOD;
        } else {
          bool known = false;
          for (const auto& [character, kind] : NAME_SUFFIXES) {
            if (character == suffix) {
              descriptor.kind = kind;
              known = true;
            }
          }
          if (!known) return false;
        }
      }
      out.push_back(std::move(descriptor));
    }
    return !out.empty();
  }

 private:
  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  bool expect(char c) {
    if (at_end() || peek() != c) return false;
    ++pos_;
    return true;
  }

  // A backtick group: "``" inside it stands for one backtick.
  bool escaped_name(std::string& out) {
    ++pos_;  // opening backtick
    while (!at_end()) {
      char c = text_[pos_++];
      if (c != '`') {
        out.push_back(c);
        continue;
      }
      if (!at_end() && peek() == '`') {
        out.push_back('`');
        ++pos_;
        continue;
      }
      return true;
    }
    return false;
  }

  // A name: a backtick group or a run of characters that have no structural
  // meaning (indexers do not all restrict plain names to ASCII identifiers).
  bool name(std::string& out) {
    if (at_end()) return false;
    if (peek() == '`') return escaped_name(out) && !out.empty();
    static constexpr std::string_view STRUCTURAL = " /#.:!()[]`";
    std::size_t start = pos_;
    while (!at_end() && STRUCTURAL.find(peek()) == std::string_view::npos) ++pos_;
    out.assign(text_.substr(start, pos_ - start));
    return !out.empty();
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

bool is_local_symbol(std::string_view symbol) { return symbol.substr(0, 6) == "local "; }

char fold(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_text(std::string_view a, std::string_view b, bool case_sensitive) noexcept {
  if (a.size() != b.size()) return false;
  if (case_sensitive) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace

bool dotted_suffix_match(std::string_view path, std::string_view query, bool case_sensitive) noexcept {
  if (path.size() == query.size()) return equal_text(path, query, case_sensitive);
  if (path.size() < query.size() + 1) return false;
  std::size_t start = path.size() - query.size();
  return path[start - 1] == '.' && equal_text(path.substr(start), query, case_sensitive);
}

std::size_t CandidateHash::operator()(const Candidate& candidate) const noexcept {
  std::size_t seed = std::hash<std::string>{}(candidate.symbol);
  auto combine = [&seed](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); };
  combine(std::hash<std::string>{}(candidate.dotted_path));
  combine(static_cast<std::size_t>(candidate.kind));
  return seed;
}

const std::vector<Candidate>* find_name(const NameMap& map, std::string_view name) {
  for (const auto& [key, candidates] : map) {
    if (key == name) return &candidates;
  }
  return nullptr;
}

NameMap name_map(core::Connection& connection) {
  NameMap map;
  std::unordered_map<std::string, std::size_t> index;  // name -> position in map
  auto statement = connection.prepare("SELECT symbol FROM global_symbols ORDER BY id");
  while (statement.step()) {
    if (statement.is_null(0)) continue;
    std::string symbol = statement.column_text(0);
    if (is_local_symbol(symbol)) continue;
    SymbolParser parser(symbol);
    std::vector<Descriptor> descriptors;
    if (!parser.skip_header() || !parser.descriptors(descriptors)) continue;
    std::string dotted_path;
    for (const auto& descriptor : descriptors) {
      if (!dotted_path.empty()) dotted_path.push_back('.');
      dotted_path += descriptor.name;
    }
    const Descriptor& last = descriptors.back();
    auto [slot, inserted] = index.try_emplace(last.name, map.size());
    if (inserted) map.emplace_back(last.name, std::vector<Candidate>{});
    map[slot->second].second.push_back(Candidate{std::move(symbol), std::move(dotted_path), last.kind});
  }
  return map;
}

std::vector<Candidate> dotted_suffix_matches(const NameMap& map, std::string_view query, bool case_sensitive) {
  std::vector<Candidate> matches;
  for (const auto& [name, candidates] : map) {
    for (const auto& candidate : candidates) {
      if (dotted_suffix_match(candidate.dotted_path, query, case_sensitive)) matches.push_back(candidate);
    }
  }
  return matches;
}

}  // namespace kolvex::platform
