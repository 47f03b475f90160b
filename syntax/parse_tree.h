// ParseTree: the owned handle of one tree-sitter parse tree.
//
// A ParseTree deletes its tree when it goes out of scope. Copies are cheap shallow
// copies (tree-sitter reference counting) that may be moved to another thread; a
// single ParseTree and the nodes taken from it belong to one thread at a time.
// Nodes (TSNode) taken from a tree are valid only while some handle of it lives.
#pragma once

#include <tree_sitter/api.h>

namespace kolvex::syntax {

class ParseTree {
 public:
  // Takes ownership of `tree`, which must not be null.
  explicit ParseTree(TSTree* tree) noexcept : tree_(tree) {}
  ~ParseTree();
  ParseTree(const ParseTree& other);
  ParseTree& operator=(const ParseTree& other);
  ParseTree(ParseTree&& other) noexcept;
  ParseTree& operator=(ParseTree&& other) noexcept;

  TSNode root_node() const noexcept { return ts_tree_root_node(tree_); }
  // True when an error node or a missing node occurs anywhere in the tree.
  bool has_error() const noexcept { return ts_node_has_error(root_node()); }
  const TSTree* get() const noexcept { return tree_; }
  const TSLanguage* language() const noexcept { return ts_tree_language(tree_); }

 private:
  TSTree* tree_;
};

}  // namespace kolvex::syntax
