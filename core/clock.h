// Time and random identifiers in the forms the system stores.
// Thread-safe.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::core {

using SystemTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

SystemTime utc_now();

// Python's datetime.isoformat() of an aware UTC time: "2026-12-10T13:15:37+00:00",
// with ".ffffff" only when the microseconds are not zero.
std::string isoformat_utc(SystemTime time);

// Parses what isoformat_utc writes (and "Z" / other "+HH:MM" offsets); none when malformed.
std::optional<SystemTime> parse_isoformat(std::string_view text);

// uuid.uuid4().hex: 32 lower-case hexadecimal digits of a random version-4 UUID.
std::string uuid4_hex();

// Monotonic seconds, for durations and debouncing.
double monotonic_seconds();

}  // namespace kolvex::core
