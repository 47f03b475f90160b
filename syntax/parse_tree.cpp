#include "syntax/parse_tree.h"

#include <utility>

namespace kolvex::syntax {

ParseTree::~ParseTree() {
  if (tree_ != nullptr) ts_tree_delete(tree_);
}

ParseTree::ParseTree(const ParseTree& other) : tree_(ts_tree_copy(other.tree_)) {}

ParseTree& ParseTree::operator=(const ParseTree& other) {
  if (this != &other) {
    TSTree* copy = ts_tree_copy(other.tree_);
    if (tree_ != nullptr) ts_tree_delete(tree_);
    tree_ = copy;
  }
  return *this;
}

ParseTree::ParseTree(ParseTree&& other) noexcept : tree_(std::exchange(other.tree_, nullptr)) {}

ParseTree& ParseTree::operator=(ParseTree&& other) noexcept {
  if (this != &other) {
    if (tree_ != nullptr) ts_tree_delete(tree_);
    tree_ = std::exchange(other.tree_, nullptr);
  }
  return *this;
}

}  // namespace kolvex::syntax
