#include "syntax/node_vocabulary.h"

#include <stdexcept>

namespace kolvex::syntax {

ResolvedVocabulary::ResolvedVocabulary(const TSLanguage* language,
                                       std::span<const std::string_view> types,
                                       std::span<const std::string_view> fields)
    : by_symbol_(ts_language_symbol_count(language), NO_TYPE) {
  // Every symbol is classified by its name, so a named node and an anonymous
  // token of the same text both match, as a comparison of type texts would.
  for (std::size_t symbol = 0; symbol < by_symbol_.size(); ++symbol) {
    const std::string_view name = ts_language_symbol_name(language, static_cast<TSSymbol>(symbol));
    for (std::size_t index = 0; index < types.size(); ++index) {
      if (types[index] == name) {
        by_symbol_[symbol] = static_cast<TypeIndex>(index);
        break;
      }
    }
  }
  field_ids_.reserve(fields.size());
  for (std::string_view field : fields) {
    field_ids_.push_back(
        ts_language_field_id_for_name(language, field.data(), static_cast<uint32_t>(field.size())));
  }
}

TSNode ResolvedVocabulary::child_in(TSNode node, TypeMask types) const {
  if (ts_node_is_null(node)) return TSNode{};
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  TSNode found{};
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      const TSNode child = ts_tree_cursor_current_node(&cursor);
      if (in(child, types)) {
        found = child;
        break;
      }
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

std::vector<TSNode> ResolvedVocabulary::field_children(TSNode node, std::size_t field) const {
  std::vector<TSNode> found;
  const TSFieldId id = field_ids_[field];
  if (ts_node_is_null(node) || id == 0) return found;
  TSTreeCursor cursor = ts_tree_cursor_new(node);
  if (ts_tree_cursor_goto_first_child(&cursor)) {
    do {
      if (ts_tree_cursor_current_field_id(&cursor) == id) {
        found.push_back(ts_tree_cursor_current_node(&cursor));
      }
    } while (ts_tree_cursor_goto_next_sibling(&cursor));
  }
  ts_tree_cursor_delete(&cursor);
  return found;
}

NodeVocabulary::NodeVocabulary(std::span<const std::string_view> types,
                               std::span<const std::string_view> fields)
    : types_(types), fields_(fields) {
  if (types.size() > MAX_VOCABULARY_TYPES) {
    throw std::length_error("a node vocabulary holds at most 64 type names");
  }
}

const ResolvedVocabulary& NodeVocabulary::resolve(const TSLanguage* language) const {
  core::MutexLock lock(mutex_);
  auto found = resolved_.find(language);
  if (found == resolved_.end()) {
    found = resolved_
                .emplace(language, std::make_unique<ResolvedVocabulary>(language, types_, fields_))
                .first;
    // Publish the new grammar to the lock-free look-up while there is room; the
    // slot is written before the count that makes readers look at it.
    const std::size_t published = published_.load(std::memory_order_relaxed);
    if (published < FAST_SLOTS) {
      slots_[published] = Slot{language, found->second.get()};
      published_.store(published + 1, std::memory_order_release);
    }
  }
  return *found->second;
}

}  // namespace kolvex::syntax
