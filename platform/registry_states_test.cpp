#include "platform/registry_states.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace kolvex::platform {
namespace {

// Each member's text, its parse and its printed form agree; the texts are
// frozen: registry.db holds them and the command line prints them.
template <typename Enum>
void expect_round_trips(const std::vector<std::pair<Enum, std::string_view>>& cases,
                        std::string_view (*to_text)(Enum) noexcept, Enum (*from_text)(std::string_view)) {
  for (const auto& [member, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(to_text(member), text);
    EXPECT_EQ(from_text(text), member);
    std::ostringstream printed;
    printed << member;
    EXPECT_EQ(printed.str(), text);
  }
}

TEST(RegistryStates, TextsRoundTrip) {
  expect_round_trips<RepoStatus>({{RepoStatus::INDEXING, "indexing"},
                                  {RepoStatus::INDEXED, "indexed"},
                                  {RepoStatus::PARTIAL, "partial"},
                                  {RepoStatus::DEGRADED, "degraded"},
                                  {RepoStatus::FAILED, "failed"},
                                  {RepoStatus::SEARCH_ONLY, "search-only"}},
                                 status_text, status_from_text);
  expect_round_trips<ScipState>({{ScipState::AVAILABLE, "available"},
                                 {ScipState::FAILED, "failed"},
                                 {ScipState::UNAVAILABLE, "unavailable"},
                                 {ScipState::UNSUPPORTED, "unsupported"},
                                 {ScipState::DISABLED, "disabled"}},
                                scip_state_text, scip_state_from_text);
}

// Matching is exact: no other spelling, no neighbour's vocabulary.
TEST(RegistryStates, OtherTextsAreRefusedByName) {
  struct Case {
    std::string text;
    bool status;  // which parser: the status's or the SCIP stage state's
    std::string message;
  };
  const Case cases[] = {
      {"broken", false, "unknown SCIP stage state 'broken'"},
      {"Available", false, "unknown SCIP stage state 'Available'"},
      {"indexed", false, "unknown SCIP stage state 'indexed'"},
      {"", false, "unknown SCIP stage state ''"},
      {"legacy", false, "unknown SCIP stage state 'legacy'"},
      {"available", true, "unknown registry status 'available'"},
      {"indexed ", true, "unknown registry status 'indexed '"},
      {"search_only", true, "unknown registry status 'search_only'"},
      {"", true, "unknown registry status ''"},
      {"bad\xff", true, "unknown registry status 'bad\uFFFD'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      if (c.status) {
        status_from_text(c.text);
      } else {
        scip_state_from_text(c.text);
      }
      ADD_FAILURE() << "accepted";
    } catch (const core::ValueError& error) {
      EXPECT_EQ(error.message(), c.message);
    }
  }
}

}  // namespace
}  // namespace kolvex::platform
