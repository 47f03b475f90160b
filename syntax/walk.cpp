#include "syntax/walk.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

using ByteRange = std::pair<std::uint32_t, std::uint32_t>;

// The qualification and enclosing declaration in force for a frame's children.
// Frames that inherit them share one entry instead of copying the prefix.
struct Scope {
  std::string qual_prefix;  // empty, or dotted text ending in "."
  std::int64_t parent;      // index into the result of the enclosing declaration, or -1
};

// One sibling-iteration context: the children of one node, held as the range
// [begin, end) of the shared child arena, which grows and shrinks like the stack.
struct Frame {
  std::size_t begin;
  std::size_t end;
  std::size_t index;
  std::size_t scope;
  std::optional<ByteRange> extension;  // pending widening from a wrapper above
};

std::optional<ByteRange> merge(const std::optional<ByteRange>& a, const std::optional<ByteRange>& b) {
  if (a && b) return ByteRange{std::min(a->first, b->first), std::max(a->second, b->second)};
  return a ? a : b;
}

class Walker {
 public:
  Walker(Rule rule, std::string_view language, TSNode root, std::string_view source,
         std::string_view file_path, std::string_view file_hash)
      : language_(language),
        source_(source),
        file_path_(file_path),
        file_hash_(file_hash),
        rule_(rule),
        root_(root),
        cursor_(ts_tree_cursor_new(root)) {}
  ~Walker() { ts_tree_cursor_delete(&cursor_); }
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  std::vector<SyntaxSymbol> run() {
    scopes_.push_back(Scope{{}, -1});
    arena_.push_back(root_);
    stack_.push_back(Frame{0, 1, 0, 0, std::nullopt});
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.index == frame.end) {
        arena_.resize(frame.begin);
        stack_.pop_back();
        continue;
      }
      const TSNode child = arena_[frame.index++];
      visit(child, frame.scope, frame.extension);
    }
    return std::move(symbols_);
  }

 private:
  void visit(TSNode child, std::size_t scope, std::optional<ByteRange> pending) {
    // Look through wrappers; their other children are never visited.
    TSNode node = child;
    ByteRange outer{ts_node_start_byte(child), ts_node_end_byte(child)};
    bool unwrapped = false;
    for (TSNode inner = unwrap(language_, node); !ts_node_is_null(inner);
         inner = unwrap(language_, node)) {
      outer.first = std::min(outer.first, ts_node_start_byte(inner));
      outer.second = std::max(outer.second, ts_node_end_byte(inner));
      node = inner;
      unwrapped = true;
    }
    const std::optional<ByteRange> extension =
        merge(unwrapped ? std::optional<ByteRange>(outer) : std::nullopt, pending);

    std::optional<RuleOutcome> outcome;
    if (rule_ != nullptr) outcome = rule_(node, source_);
    if (!outcome) {
      push_children(node, scope, extension);
      return;
    }
    if (outcome->candidates.empty()) {
      if (!outcome->qualifier_extension.empty()) {
        Scope extended{scopes_[scope].qual_prefix + outcome->qualifier_extension,
                       scopes_[scope].parent};
        scopes_.push_back(std::move(extended));
        scope = scopes_.size() - 1;
      }
      push_children(node, scope, extension);
      return;
    }

    const RuleCandidate& found = outcome->candidates.front();
    std::string name = text(source_, found.identifier);
    std::string qualified = scopes_[scope].qual_prefix + found.qualifier_prefix + name;
    const Span selection = node_span(found.identifier);
    Span declaration = node_span(node);
    if (extension) {
      declaration.start_byte = std::min<std::int64_t>(extension->first, declaration.start_byte);
      declaration.end_byte = std::max<std::int64_t>(extension->second, declaration.end_byte);
    }
    std::optional<std::string> parent;
    if (scopes_[scope].parent >= 0) parent = symbols_[scopes_[scope].parent].symbol;
    std::string id = syntax_id(file_path_, file_hash_, selection, found.kind);
    symbols_.push_back(SyntaxSymbol{std::move(id), std::string(file_path_), std::move(name),
                                    qualified, found.kind, std::move(parent), declaration,
                                    selection});
    const auto emitted = static_cast<std::int64_t>(symbols_.size() - 1);
    scopes_.push_back(Scope{std::move(qualified) + ".", emitted});
    const std::size_t inner_scope = scopes_.size() - 1;

    if (outcome->is_header) {
      // Later siblings in this frame are qualified by the header; its own children are skipped.
      stack_.back().scope = inner_scope;
      return;
    }
    push_children(node, inner_scope, std::nullopt);
  }

  // Pushes a frame over all children of `node`, read in one cursor pass. A node
  // without children would give an empty frame, so none is pushed.
  void push_children(TSNode node, std::size_t scope, std::optional<ByteRange> extension) {
    if (ts_node_child_count(node) == 0) return;
    const std::size_t begin = arena_.size();
    ts_tree_cursor_reset(&cursor_, node);
    if (ts_tree_cursor_goto_first_child(&cursor_)) {
      do {
        arena_.push_back(ts_tree_cursor_current_node(&cursor_));
      } while (ts_tree_cursor_goto_next_sibling(&cursor_));
    }
    stack_.push_back(Frame{begin, arena_.size(), begin, scope, extension});
  }

  std::string_view language_;
  std::string_view source_;
  std::string_view file_path_;
  std::string_view file_hash_;
  Rule rule_;
  TSNode root_;
  TSTreeCursor cursor_;
  std::vector<TSNode> arena_;
  std::vector<Frame> stack_;
  std::vector<Scope> scopes_;
  std::vector<SyntaxSymbol> symbols_;
};

}  // namespace

Span node_span(TSNode node) {
  const TSPoint start = ts_node_start_point(node);
  const TSPoint end = ts_node_end_point(node);
  return Span{ts_node_start_byte(node), ts_node_end_byte(node), start.row, start.column,
              end.row, end.column};
}

std::vector<SyntaxSymbol> walk_declarations(std::string_view language, TSNode root,
                                            std::string_view source, std::string_view file_path,
                                            std::string_view file_hash) {
  return walk_with_rule(rule_for_language(language), language, root, source, file_path, file_hash);
}

std::vector<SyntaxSymbol> walk_with_rule(Rule rule, std::string_view language, TSNode root,
                                         std::string_view source, std::string_view file_path,
                                         std::string_view file_hash) {
  Walker walker(rule, language, root, source, file_path, file_hash);
  return walker.run();
}

}  // namespace kolvex::syntax
