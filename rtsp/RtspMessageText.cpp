#include "RtspMessageText.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <limits>

std::vector<std::string> SplitRtspLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string GetToken(std::string_view text, char separator, std::size_t index) {
  std::size_t start = 0;
  for (std::size_t skipped = 0; skipped < index; ++skipped) {
    const std::size_t next = text.find(separator, start);
    if (next == std::string_view::npos) return {};
    start = next + 1;
  }
  const std::size_t end = text.find(separator, start);
  return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

std::optional<int32_t> ParseRtspInteger(std::string_view value) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);

  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;

  // Accumulated as a magnitude in 64 bits; the bound stops it long before that overflows.
  const int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                                 : int64_t{std::numeric_limits<int32_t>::max()};
  int64_t magnitude = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::string FormatRtspDate(std::chrono::sys_seconds utc) {
  using namespace std::chrono;
  static constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

  const sys_days date = floor<days>(utc);
  const year_month_day ymd{date};
  const hh_mm_ss<seconds> time{utc - date};
  char text[64];
  const int written = std::snprintf(
      text, sizeof text, "%s, %u %s %04d %02d:%02d:%02d GMT", kWeekdays[weekday{date}.c_encoding()],
      static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
      static_cast<int>(ymd.year()), static_cast<int>(time.hours().count()),
      static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return std::string(text, written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::chrono::sys_seconds UtcFromLocal(const platform::TLocalDateTime& local) {
  tm fields = platform::ToTm(local);
  errno = 0;
  const time_t utc = mktime(&fields);
  if (utc == static_cast<time_t>(-1) && errno != 0) {
    // Out of the system's range; the time as it stands is a better Date than none.
    return std::chrono::sys_seconds{
        std::chrono::seconds{platform::LocalMillisecondsSince1970(local) / 1000}};
  }
  return std::chrono::sys_seconds{std::chrono::seconds{utc}};
}

bool HasRtspControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}
