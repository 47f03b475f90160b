// Node vocabulary: the node type names and field names one rule compares
// against, resolved once per grammar to tree-sitter symbol and field ids, so that
// a rule tells a node's type with one table look-up and reaches a field by its id
// instead of comparing and searching by text on every node of every file.
//
// A node "has type i" exactly when its type text (ts_node_type, named or
// anonymous alike) equals the i-th type name: the table covers every symbol of the
// grammar by its name. A field name the grammar lacks resolves to the id 0, which
// tree-sitter answers with the null node, as it does for the unknown name.
//
// Thread-safety: a NodeVocabulary is meant to be a constant at namespace scope;
// `of` may be called from any thread. A grammar's resolution is built once, under
// a lock, and lives as long as the process (grammars are never unloaded).
#pragma once

#include <tree_sitter/api.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "core/thread_annotations.h"

namespace kolvex::syntax {

// The index of a type name in a vocabulary, or NO_TYPE.
using TypeIndex = std::uint8_t;
inline constexpr TypeIndex NO_TYPE = 0xFF;
// Type indices a vocabulary can hold (one bit each in a TypeMask).
inline constexpr std::size_t MAX_VOCABULARY_TYPES = 64;

// A set of type indices of one vocabulary.
using TypeMask = std::uint64_t;
constexpr TypeMask mask_of(std::initializer_list<TypeIndex> types) {
  TypeMask mask = 0;
  for (TypeIndex type : types) mask |= TypeMask{1} << type;
  return mask;
}

// One vocabulary resolved against one grammar.
class ResolvedVocabulary {
 public:
  ResolvedVocabulary(const TSLanguage* language, std::span<const std::string_view> types,
                     std::span<const std::string_view> fields);

  // The index of the node's type, or NO_TYPE (also for the null node).
  TypeIndex type(TSNode node) const {
    if (ts_node_is_null(node)) return NO_TYPE;
    return type_of_symbol(ts_node_symbol(node));
  }
  // The index of the type a (public) symbol of the grammar names, or NO_TYPE.
  TypeIndex type_of_symbol(TSSymbol symbol) const {
    return symbol < by_symbol_.size() ? by_symbol_[symbol] : NO_TYPE;
  }
  bool is(TSNode node, TypeIndex wanted) const { return type(node) == wanted; }
  bool in(TSNode node, TypeMask types) const {
    const TypeIndex found = type(node);
    return found != NO_TYPE && ((types >> found) & 1U) != 0;
  }

  // The grammar's id of the i-th field name (0 when the grammar lacks it).
  TSFieldId field_id(std::size_t field) const { return field_ids_[field]; }
  // The child under the i-th field, or the null node (also for the null node).
  TSNode child(TSNode node, std::size_t field) const {
    if (ts_node_is_null(node)) return TSNode{};
    return ts_node_child_by_field_id(node, field_ids_[field]);
  }
  // The first direct child (anonymous tokens included) whose type is in `types`.
  TSNode child_in(TSNode node, TypeMask types) const;
  // Every direct child, in order, that the i-th field binds.
  std::vector<TSNode> field_children(TSNode node, std::size_t field) const;

 private:
  std::vector<TypeIndex> by_symbol_;
  std::vector<TSFieldId> field_ids_;
};

class NodeVocabulary {
 public:
  // Both lists must outlive the vocabulary (constant tables); types hold at most
  // MAX_VOCABULARY_TYPES names.
  NodeVocabulary(std::span<const std::string_view> types, std::span<const std::string_view> fields);
  NodeVocabulary(const NodeVocabulary&) = delete;
  NodeVocabulary& operator=(const NodeVocabulary&) = delete;

  // The resolution for the grammar of `node`, which must not be the null node.
  const ResolvedVocabulary& of(TSNode node) const { return of(ts_node_language(node)); }
  const ResolvedVocabulary& of(const TSLanguage* language) const {
    const std::size_t published = published_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < published; ++i) {
      if (slots_[i].language == language) return *slots_[i].resolved;
    }
    return resolve(language);
  }

 private:
  // Grammars looked up without a lock; more than this many go through the lock.
  static constexpr std::size_t FAST_SLOTS = 8;
  struct Slot {
    const TSLanguage* language = nullptr;
    const ResolvedVocabulary* resolved = nullptr;
  };

  const ResolvedVocabulary& resolve(const TSLanguage* language) const;

  std::span<const std::string_view> types_;
  std::span<const std::string_view> fields_;
  mutable core::Mutex mutex_;
  mutable std::map<const TSLanguage*, std::unique_ptr<ResolvedVocabulary>> resolved_ GUARDED_BY(mutex_);
  mutable std::array<Slot, FAST_SLOTS> slots_{};
  mutable std::atomic<std::size_t> published_{0};
};

}  // namespace kolvex::syntax
