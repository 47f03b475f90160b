#include "core/clock.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace kolvex::core {
namespace {

using namespace std::chrono;

bool parse_digits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

SystemTime utc_now() { return time_point_cast<microseconds>(system_clock::now()); }

std::string isoformat_utc(SystemTime time) {
  const auto day_point = floor<days>(time);
  const year_month_day date{day_point};
  const auto since_midnight = time - day_point;
  const hh_mm_ss<microseconds> clock{duration_cast<microseconds>(since_midnight)};
  char buffer[64];
  const long micros = static_cast<long>(clock.subseconds().count());
  int length;
  if (micros != 0) {
    length = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%06ld+00:00",
                           static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                           static_cast<unsigned>(date.day()), static_cast<long>(clock.hours().count()),
                           static_cast<long>(clock.minutes().count()), static_cast<long>(clock.seconds().count()),
                           micros);
  } else {
    length = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02ld:%02ld:%02ld+00:00",
                           static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                           static_cast<unsigned>(date.day()), static_cast<long>(clock.hours().count()),
                           static_cast<long>(clock.minutes().count()), static_cast<long>(clock.seconds().count()));
  }
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::optional<SystemTime> parse_isoformat(std::string_view text) {
  // YYYY-MM-DD[T ]HH:MM:SS[.f{1,6}](Z|+HH:MM|-HH:MM)
  int year, month, day, hour, minute, second;
  if (text.size() < 19 || !parse_digits(text, 0, 4, year) || text[4] != '-' || !parse_digits(text, 5, 2, month) ||
      text[7] != '-' || !parse_digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != ' ') ||
      !parse_digits(text, 11, 2, hour) || text[13] != ':' || !parse_digits(text, 14, 2, minute) ||
      text[16] != ':' || !parse_digits(text, 17, 2, second)) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  long micros = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 6) return std::nullopt;
      micros = micros * 10 + (text[pos] - '0');
      ++pos;
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 6; ++digits) micros *= 10;
  }
  int offset_minutes = 0;
  if (pos < text.size() && text[pos] == 'Z') {
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    const int sign = text[pos] == '-' ? -1 : 1;
    int offset_hours, offset_mins;
    if (!parse_digits(text, pos + 1, 2, offset_hours) || pos + 3 >= text.size() || text[pos + 3] != ':' ||
        !parse_digits(text, pos + 4, 2, offset_mins) || offset_hours > 23 || offset_mins > 59) {
      return std::nullopt;
    }
    offset_minutes = sign * (offset_hours * 60 + offset_mins);
    pos += 6;
  } else {
    return std::nullopt;  // a time without an offset is not a UTC instant
  }
  if (pos != text.size()) return std::nullopt;
  const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                            std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  SystemTime result = time_point_cast<microseconds>(sys_days{date}) + hours{hour} + minutes{minute} +
                      seconds{second} + microseconds{micros} - minutes{offset_minutes};
  return result;
}

std::string uuid4_hex() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char b : bytes) {
    out += HEX[b >> 4];
    out += HEX[b & 0xF];
  }
  return out;
}

double monotonic_seconds() {
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace kolvex::core
