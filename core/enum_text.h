// A fixed table between the members of an enum and the texts that stand for
// them on disk and on the command line, looked up both ways. Text becomes a
// member only where it enters the system, so a lookup that finds no member
// says so and leaves the message to the caller, who knows what the text was.
//
// Constant tables and pure functions; any thread may call them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace kolvex::core {

template <typename Enum, std::size_t N>
using EnumTexts = std::array<std::pair<Enum, std::string_view>, N>;

// The text of `value`; empty for a value outside the table.
template <typename Enum, std::size_t N>
constexpr std::string_view enum_text(const EnumTexts<Enum, N>& table, Enum value) noexcept {
  for (const auto& [member, text] : table) {
    if (member == value) return text;
  }
  return {};
}

// The member whose text is exactly `text`, or none.
template <typename Enum, std::size_t N>
constexpr std::optional<Enum> enum_from_text(const EnumTexts<Enum, N>& table, std::string_view text) noexcept {
  for (const auto& [member, member_text] : table) {
    if (member_text == text) return member;
  }
  return std::nullopt;
}

}  // namespace kolvex::core
