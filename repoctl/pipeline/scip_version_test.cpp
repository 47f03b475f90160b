#include "repoctl/pipeline/scip_version.h"

#include <gtest/gtest.h>

#include <limits>

#include "testkit/fake_program.h"

namespace kolvex::pipeline {
namespace {

using testkit::FakeBehaviour;
using testkit::FakeBin;
using testkit::ScopedEnv;

TEST(ScipVersionParse, LeftmostThreePartVersionAnywhere) {
  constexpr std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    std::string output;
    std::optional<Version> version;
  };
  const std::vector<Case> cases = {
      {"scip version v0.9.0\n", Version{0, 9, 0}},
      {"0.3.0 (swift 6.2.4)", Version{0, 3, 0}},
      {"0.2.9 (swift 6.0.0)", Version{0, 2, 9}},
      {"v0.10.0", Version{0, 10, 0}},
      {"0.09.0", Version{0, 9, 0}},
      {"1.2.3.4", Version{1, 2, 3}},
      {"scip 1.2", std::nullopt},
      {"", std::nullopt},
      {"\n", std::nullopt},
      {"error: unknown flag --version", std::nullopt},
      {"x1.2y3.4.5", Version{3, 4, 5}},
      {"1..2.3 then 4.5.6", Version{4, 5, 6}},
      {"99999999999999999999999.1.2", Version{big, 1, 2}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_scip_version(c.output), c.version) << c.output;
}

TEST(ScipVersionParse, VersionsCompareAsNumbers) {
  EXPECT_TRUE((Version{0, 10, 0}) > MIN_SCIP_VERSION);
  EXPECT_TRUE((Version{0, 9, 0}) >= MIN_SCIP_VERSION);
  EXPECT_TRUE((Version{0, 8, 12}) < MIN_SCIP_VERSION);
  EXPECT_EQ(format_version({0, 8, 2}), "0.8.2");
}

class VersionGates : public ::testing::Test {
 protected:
  FakeBin bin_ = FakeBin::create();
  ScopedEnv path_{bin_.env("/usr/bin:/bin")};
};

std::optional<std::string> gate_error(void (*gate)()) {
  try {
    gate();
    return std::nullopt;
  } catch (const IndexingError& error) {
    EXPECT_STREQ(error.type_name(), "IndexingError");
    return error.message();
  }
}

const std::string SCIP_TOO_OLD =
    "scip v0.8.9 is too old (need >= v0.9.0): it cannot read scip.proto's typed_range oneof, so occurrence "
    "positions are dropped and navigation returns empty results. Re-run setup.sh, and remove any older scip "
    "earlier on PATH.";

TEST_F(VersionGates, ScipGateTable) {
  EXPECT_EQ(gate_error(check_scip_version), "scip not found on PATH — run setup.sh");
  testkit::FakeProgram scip = bin_.install("scip");
  struct Case {
    FakeBehaviour behaviour;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {{.stdout_text = "scip version v0.9.0\n"}, std::nullopt},
      {{.stdout_text = "scip version v0.10.0\n"}, std::nullopt},
      {{.stdout_text = "scip version v0.8.9\n"}, SCIP_TOO_OLD},
      {{.stderr_text = "v0.8.9"}, SCIP_TOO_OLD},
      {{.stdout_text = "v0.9.0", .stderr_text = "v0.8.9"}, std::nullopt},
      {{.stdout_text = "v0.8.9", .exit_code = 3}, SCIP_TOO_OLD},
      {{.stdout_text = "scip 1.2"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv behaviour(scip.env(c.behaviour));
    EXPECT_EQ(gate_error(check_scip_version), c.error) << c.behaviour.stdout_text << "|" << c.behaviour.stderr_text;
  }
}

TEST_F(VersionGates, ScipSwiftGateTable) {
  EXPECT_EQ(gate_error(check_scip_swift_version), "scip-swift not found on PATH — run setup.sh");
  testkit::FakeProgram swift = bin_.install("scip-swift");
  struct Case {
    std::string output;
    std::optional<std::string> error;
  };
  const std::vector<Case> cases = {
      {"0.3.0 (swift 6.2.4)\n", std::nullopt},
      {"0.2.9 (swift 6.0.0)\n",
       "scip-swift v0.2.9 is too old (need >= v0.3.0): versions before 0.3.0 dispatch xcodebuild incorrectly for "
       ".xcodeproj repos and produce broken indexes. Re-run setup.sh, and remove any older scip-swift earlier on "
       "PATH."},
      {"swift-driver only", std::nullopt},
  };
  for (const Case& c : cases) {
    ScopedEnv behaviour(swift.env({.stdout_text = c.output}));
    EXPECT_EQ(gate_error(check_scip_swift_version), c.error) << c.output;
  }
}

TEST_F(VersionGates, ProbeTextIsStdoutLineFeedStderr) {
  testkit::FakeProgram scip = bin_.install("scip");
  {
    ScopedEnv behaviour(scip.env({.stdout_text = "out", .stderr_text = "err\r\n"}));
    EXPECT_EQ(detail::scip_version_output(), "out\nerr\n");
  }
  ScopedEnv behaviour(scip.env({.log_env = {}}));
  EXPECT_EQ(detail::scip_version_output(), "\n");
}

}  // namespace
}  // namespace kolvex::pipeline
