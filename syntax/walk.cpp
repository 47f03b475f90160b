#include "syntax/walk.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "syntax/node_vocabulary.h"
#include "syntax/rules.h"

namespace kolvex::syntax {

namespace {

using ByteRange = std::pair<std::uint32_t, std::uint32_t>;

// The qualification and enclosing declaration in force for a frame's children.
// Frames that inherit them share one entry instead of copying the prefix.
struct Scope {
  std::string qual_prefix;  // empty, or dotted text ending in "."
  std::int64_t parent;      // index into the result of the enclosing declaration, or -1
  std::size_t depth;        // declarations and qualifying contexts enclosing the children
  // The prefix is the parent's qualified name and ".", not copied into qual_prefix.
  bool prefixed_by_parent = false;
};

// One sibling-iteration context: the children of one node, reached by moving
// the cursor in use across them.
struct Frame {
  std::size_t scope;
  std::optional<ByteRange> extension;  // pending widening from a wrapper above
  // The cursor was rooted at the parent for this frame (the parent was not
  // reached by the cursor in use); it is released when the frame ends.
  bool own_cursor;
  bool started;  // the cursor has been on a child of this frame
  // Children not yet reached, and the nodes in their subtrees (themselves
  // included): when the two are equal, every child left is a leaf.
  std::uint32_t children_left;
  std::uint32_t descendants_left;
};

std::optional<ByteRange> merge(const std::optional<ByteRange>& a, const std::optional<ByteRange>& b) {
  if (a && b) return ByteRange{std::min(a->first, b->first), std::max(a->second, b->second)};
  return a ? a : b;
}

// The walk moves a tree cursor through the tree in document order, so that
// every node is reached with a constant number of cursor steps (finding a child
// by its index walks the siblings before it, and cost more even for a few
// children). A frame continues the cursor in use when that cursor stands on its
// parent, and otherwise roots a further cursor there: a node reached by looking
// through a wrapper, whose other children are never visited.
class Walker {
 public:
  Walker(Rule rule, std::string_view language, TSNode root, std::string_view source,
         std::string_view file_path, std::string_view file_hash)
      : wrappers_(wrappers_of(language), grammar_of(root)),
        rule_types_(built_in_types(rule, language, grammar_of(root))),
        source_(source),
        file_path_(file_path),
        make_id_(file_path, file_hash),
        rule_(rule),
        root_(root),
        budget_(qualified_name_budget(source.size())) {}
  ~Walker() {
    for (TSTreeCursor& cursor : cursors_) ts_tree_cursor_delete(&cursor);
  }
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  DeclarationWalk run() {
    if (ts_node_is_null(root_)) return {};
    scopes_.push_back(Scope{{}, -1, 0});
    visit(root_, 0, std::nullopt, /*on_cursor=*/false);
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      TSTreeCursor& cursor = cursors_[active_ - 1];
      // With a built-in rule, the leaves left would all be passed over unasked.
      const bool only_leaves_left =
          rule_types_ != nullptr && frame.descendants_left == frame.children_left;
      if (only_leaves_left || (frame.started && !ts_tree_cursor_goto_next_sibling(&cursor))) {
        if (frame.own_cursor) {
          --active_;
        } else {
          ts_tree_cursor_goto_parent(&cursor);
        }
        stack_.pop_back();
        continue;
      }
      frame.started = true;
      const TSNode node = ts_tree_cursor_current_node(&cursor);
      std::uint32_t descendants = 0;
      if (rule_types_ != nullptr) {
        descendants = ts_node_descendant_count(node);
        --frame.children_left;
        frame.descendants_left -= descendants;
        if (descendants == 1) continue;
      }
      visit(node, frame.scope, frame.extension, /*on_cursor=*/true, descendants);
    }
    DeclarationWalk walked{std::move(symbols_), std::nullopt};
    if (too_deep_) walked.bound_reason = depth_bound_reason();
    if (over_budget_) {
      const std::string reason = name_budget_reason(budget_);
      walked.bound_reason = walked.bound_reason ? *walked.bound_reason + "; " + reason : reason;
    }
    return walked;
  }

 private:
  // Visits one node and opens a frame for its children when it has any.
  // `on_cursor`: the cursor in use stands on the node. `descendants`: the
  // node's descendant count (itself included) when the caller has it, else 0.
  void visit(TSNode child, std::size_t scope, std::optional<ByteRange> pending, bool on_cursor,
             std::uint32_t descendants = 0) {
    // Most nodes are of a type the built-in rule never answers for, and no
    // wrapper: only their children can matter.
    if (rule_types_ != nullptr) {
      const TSSymbol symbol = ts_node_symbol(child);
      if (rule_types_->type_of_symbol(symbol) == NO_TYPE && !wrappers_.may_wrap(symbol)) {
        return descend(child, scope, pending, on_cursor, descendants);
      }
    }
    // Look through wrappers; their other children are never visited.
    TSNode node = child;
    std::optional<ByteRange> outer;
    for (TSNode inner = wrappers_.unwrap(node); !ts_node_is_null(inner);
         inner = wrappers_.unwrap(node)) {
      if (!outer) outer = ByteRange{ts_node_start_byte(child), ts_node_end_byte(child)};
      outer->first = std::min(outer->first, ts_node_start_byte(inner));
      outer->second = std::max(outer->second, ts_node_end_byte(inner));
      node = inner;
    }
    if (outer) {
      on_cursor = false;
      descendants = 0;  // counted for the wrapper, not for the node looked through to
    }
    const std::optional<ByteRange> extension = merge(outer, pending);

    std::optional<RuleOutcome> outcome;
    if (rule_ != nullptr) outcome = rule_(node, source_);
    if (!outcome) return descend(node, scope, extension, on_cursor, descendants);
    if (outcome->candidates.empty()) {
      if (!outcome->qualifier_extension.empty()) {
        // Nothing below a context too deep, or past the budget, is stored.
        if (scopes_[scope].depth >= MAX_DECLARATION_DEPTH) {
          too_deep_ = true;
          return;
        }
        const std::size_t size = prefix_size(scopes_[scope]) + outcome->qualifier_extension.size();
        if (!charge(size)) return;
        std::string prefix;
        prefix.reserve(size);
        append_prefix(prefix, scopes_[scope]);
        prefix += outcome->qualifier_extension;
        Scope extended{std::move(prefix), scopes_[scope].parent, scopes_[scope].depth + 1};
        scopes_.push_back(std::move(extended));
        scope = scopes_.size() - 1;
      }
      return descend(node, scope, extension, on_cursor, descendants);
    }

    if (scopes_[scope].depth >= MAX_DECLARATION_DEPTH) {
      too_deep_ = true;
      // The later siblings a header would qualify are as deep as it is.
      if (outcome->is_header && !stack_.empty()) {
        scopes_.push_back(Scope{{}, -1, scopes_[scope].depth + 1});
        stack_.back().scope = scopes_.size() - 1;
      }
      return;
    }
    const RuleCandidate& found = outcome->candidates.front();
    std::string name = text(source_, found.identifier);
    const std::size_t size = prefix_size(scopes_[scope]) + found.qualifier_prefix.size() + name.size();
    if (!charge(size)) return;
    // Built once at its final size; with "." it is also the prefix of what the
    // declaration encloses.
    std::string qualified;
    qualified.reserve(size);
    append_prefix(qualified, scopes_[scope]);
    qualified += found.qualifier_prefix;
    qualified += name;
    const Span selection = node_span(found.identifier);
    Span declaration = node_span(node);
    if (extension) {
      declaration.start_byte = std::min<std::int64_t>(extension->first, declaration.start_byte);
      declaration.end_byte = std::max<std::int64_t>(extension->second, declaration.end_byte);
    }
    std::optional<std::string> parent;
    if (scopes_[scope].parent >= 0) parent = symbols_[scopes_[scope].parent].symbol;
    std::string id = make_id_(selection, found.kind);
    symbols_.push_back(SyntaxSymbol{std::move(id), std::string(file_path_), std::move(name),
                                    std::move(qualified), found.kind, std::move(parent),
                                    declaration, selection});
    const auto emitted = static_cast<std::int64_t>(symbols_.size() - 1);
    scopes_.push_back(Scope{{}, emitted, scopes_[scope].depth + 1, /*prefixed_by_parent=*/true});
    const std::size_t inner_scope = scopes_.size() - 1;

    if (outcome->is_header) {
      // Later siblings in this frame are qualified by the header (the root has
      // none); its own children are skipped.
      if (!stack_.empty()) stack_.back().scope = inner_scope;
      return;
    }
    descend(node, inner_scope, std::nullopt, on_cursor, descendants);
  }

  std::size_t prefix_size(const Scope& scope) const {
    return scope.prefixed_by_parent ? symbols_[scope.parent].qualified_name.size() + 1 : scope.qual_prefix.size();
  }

  void append_prefix(std::string& text, const Scope& scope) const {
    if (scope.prefixed_by_parent) {
      text += symbols_[scope.parent].qualified_name;
      text += '.';
    } else {
      text += scope.qual_prefix;
    }
  }

  // Takes `bytes` of qualification from the budget. When they do not fit, the
  // walk ends here: no later declaration is produced.
  bool charge(std::size_t bytes) {
    if (bytes > budget_ - spent_) {
      over_budget_ = true;
      stack_.clear();
      return false;
    }
    spent_ += bytes;
    return true;
  }

  // Opens a frame for the children of `node`, if it has any, with the cursor in
  // use moved onto its first child (`on_cursor`) or a cursor of its own.
  void descend(TSNode node, std::size_t scope, std::optional<ByteRange> extension, bool on_cursor,
               std::uint32_t node_descendants) {
    const std::uint32_t count = ts_node_child_count(node);
    if (count == 0) return;
    // The subtrees of the children; a node whose children are all leaves has
    // nothing to visit with a built-in rule, which passes over leaves unasked.
    const std::uint32_t descendants =
        (node_descendants != 0 ? node_descendants : ts_node_descendant_count(node)) - 1;
    if (rule_types_ != nullptr && descendants == count) return;
    if (!on_cursor) enter_cursor(node);
    ts_tree_cursor_goto_first_child(&cursors_[active_ - 1]);
    stack_.push_back(Frame{scope, extension, !on_cursor, false, count, descendants});
  }

  // Makes a cursor rooted at `node` the one in use, reusing a released one.
  void enter_cursor(TSNode node) {
    if (active_ < cursors_.size()) {
      ts_tree_cursor_reset(&cursors_[active_], node);
    } else {
      cursors_.push_back(ts_tree_cursor_new(node));
    }
    ++active_;
  }

  static const TSLanguage* grammar_of(TSNode root) {
    return ts_node_is_null(root) ? nullptr : ts_node_language(root);
  }

  // The types a built-in rule reads, for the grammar of the tree; null for any
  // other rule, which is asked about every node.
  static const ResolvedVocabulary* built_in_types(Rule rule, std::string_view language,
                                                  const TSLanguage* grammar) {
    if (rule == nullptr || grammar == nullptr || rule != rule_for_language(language)) return nullptr;
    return &rule_vocabulary(language)->of(grammar);
  }

  WrapperLookup wrappers_;
  // Not null with a built-in rule, which answers only for nodes of these types
  // and never for a leaf: the walk passes over every other node without asking.
  const ResolvedVocabulary* rule_types_;
  std::string_view source_;
  std::string_view file_path_;
  SyntaxIdMaker make_id_;
  Rule rule_;
  TSNode root_;
  std::vector<TSTreeCursor> cursors_;
  std::size_t active_ = 0;  // cursors_[active_ - 1] is the cursor in use
  std::vector<Frame> stack_;
  std::vector<Scope> scopes_;
  std::vector<SyntaxSymbol> symbols_;
  std::size_t budget_;     // qualification bytes this file may produce
  std::size_t spent_ = 0;  // qualification bytes produced so far
  bool too_deep_ = false;
  bool over_budget_ = false;
};

}  // namespace

Span node_span(TSNode node) {
  const TSPoint start = ts_node_start_point(node);
  const TSPoint end = ts_node_end_point(node);
  return Span{ts_node_start_byte(node), ts_node_end_byte(node), start.row, start.column,
              end.row, end.column};
}

std::size_t qualified_name_budget(std::size_t source_bytes) {
  return std::max(MIN_QUALIFIED_NAME_BUDGET, QUALIFIED_NAME_BYTES_PER_SOURCE_BYTE * source_bytes);
}

std::string depth_bound_reason() {
  return "declarations nested deeper than " + std::to_string(MAX_DECLARATION_DEPTH) +
         " levels are not stored";
}

std::string name_budget_reason(std::size_t budget) {
  return "qualified names exceed " + std::to_string(budget) +
         " bytes; later declarations are not stored";
}

DeclarationWalk walk_file_declarations(std::string_view language, TSNode root,
                                       std::string_view source, std::string_view file_path,
                                       std::string_view file_hash) {
  Walker walker(rule_for_language(language), language, root, source, file_path, file_hash);
  return walker.run();
}

std::vector<SyntaxSymbol> walk_declarations(std::string_view language, TSNode root,
                                            std::string_view source, std::string_view file_path,
                                            std::string_view file_hash) {
  return walk_file_declarations(language, root, source, file_path, file_hash).symbols;
}

std::vector<SyntaxSymbol> walk_with_rule(Rule rule, std::string_view language, TSNode root,
                                         std::string_view source, std::string_view file_path,
                                         std::string_view file_hash) {
  Walker walker(rule, language, root, source, file_path, file_hash);
  return walker.run().symbols;
}

}  // namespace kolvex::syntax
