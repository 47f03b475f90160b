#include "platform/registry_states.h"

#include <ostream>
#include <string>

#include "core/enum_text.h"
#include "core/error.h"
#include "core/text.h"

namespace kolvex::platform {
namespace {

constexpr core::EnumTexts<RepoStatus, 6> STATUS_TEXTS = {{
    {RepoStatus::INDEXING, "indexing"}, {RepoStatus::INDEXED, "indexed"}, {RepoStatus::PARTIAL, "partial"},
    {RepoStatus::DEGRADED, "degraded"}, {RepoStatus::FAILED, "failed"},   {RepoStatus::SEARCH_ONLY, "search-only"},
}};

constexpr core::EnumTexts<ScipState, 5> SCIP_STATE_TEXTS = {{
    {ScipState::AVAILABLE, "available"},     {ScipState::FAILED, "failed"},     {ScipState::UNAVAILABLE, "unavailable"},
    {ScipState::UNSUPPORTED, "unsupported"}, {ScipState::DISABLED, "disabled"},
}};

// `what` names the vocabulary in the message of a text outside it.
[[noreturn]] void throw_unknown(std::string_view what, std::string_view text) {
  throw core::ValueError("unknown " + std::string(what) + " " + core::quote(core::decode_utf8_replace(text)));
}

}  // namespace

std::string_view status_text(RepoStatus status) noexcept { return core::enum_text(STATUS_TEXTS, status); }

RepoStatus status_from_text(std::string_view text) {
  if (auto status = core::enum_from_text(STATUS_TEXTS, text)) return *status;
  throw_unknown("registry status", text);
}

std::string_view scip_state_text(ScipState state) noexcept { return core::enum_text(SCIP_STATE_TEXTS, state); }

ScipState scip_state_from_text(std::string_view text) {
  if (auto state = core::enum_from_text(SCIP_STATE_TEXTS, text)) return *state;
  throw_unknown("SCIP stage state", text);
}

std::ostream& operator<<(std::ostream& out, RepoStatus status) { return out << status_text(status); }

std::ostream& operator<<(std::ostream& out, ScipState state) { return out << scip_state_text(state); }

}  // namespace kolvex::platform
