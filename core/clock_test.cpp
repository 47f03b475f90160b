#include "core/clock.h"

#include <gtest/gtest.h>

#include <set>

namespace kolvex::core {
namespace {

using std::chrono::microseconds;

SystemTime at(long long micros) { return SystemTime(microseconds(micros)); }

TEST(Clock, IsoformatShowsMicrosecondsOnlyWhenNonZero) {
  const std::vector<std::pair<long long, std::string>> cases = {
      {1796908537000000LL, "2026-12-10T13:15:37+00:00"},
      {1796908537000120LL, "2026-12-10T13:15:37.000120+00:00"},
      {1796908537500000LL, "2026-12-10T13:15:37.500000+00:00"},
      {0, "1970-01-01T00:00:00+00:00"},
      {-1, "1969-12-31T23:59:59.999999+00:00"},
  };
  for (const auto& [micros, text] : cases) {
    EXPECT_EQ(isoformat_utc(at(micros)), text);
    EXPECT_EQ(parse_isoformat(text), at(micros)) << text;
  }
}

TEST(Clock, ParseAcceptsOffsetsAndRejectsMalformedText) {
  const SystemTime expected = at(1796908537000000LL);
  EXPECT_EQ(parse_isoformat("2026-12-10T13:15:37Z"), expected);
  EXPECT_EQ(parse_isoformat("2026-12-10T15:15:37+02:00"), expected);
  EXPECT_EQ(parse_isoformat("2026-12-10T12:45:37-00:30"), expected);
  EXPECT_EQ(parse_isoformat("2026-12-10 13:15:37.5+00:00"), at(1796908537500000LL));
  for (const char* bad : {"", "2026-12-10", "2026-12-10T13:15:37", "2026-13-10T13:15:37+00:00",
                          "2026-02-30T13:15:37+00:00", "2026-12-10T13:15:37.+00:00",
                          "2026-12-10T13:15:37.1234567+00:00", "2026-12-10T13:15:37+00:00 ", "x026-12-10T13:15:37Z"}) {
    EXPECT_EQ(parse_isoformat(bad), std::nullopt) << bad;
  }
}

TEST(Clock, Uuid4HexIsRandomVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const std::string id = uuid4_hex();
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(id[12], '4');
    EXPECT_NE(std::string("89ab").find(id[16]), std::string::npos);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 50u);
}

TEST(Clock, UtcNowRoundTripsThroughIsoformat) {
  const SystemTime now = utc_now();
  EXPECT_EQ(parse_isoformat(isoformat_utc(now)), now);
  const double earlier = monotonic_seconds();
  const double later = monotonic_seconds();
  EXPECT_LE(earlier, later);
}

}  // namespace
}  // namespace kolvex::core
