#include "DialogValues.h"

#include "CodePage.h"

namespace {

constexpr int32_t kStandardPort = 6554;

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(first, last - first + 1);
}

}  // namespace

int32_t ParsePortEntry(std::string_view text) {
  return ParseIniInteger(TrimBlanks(text)).value_or(kStandardPort);
}

std::string ReadAboutValue(const TIniFile& config, std::string_view key, std::string_view fallback) {
  std::string value = config.ReadString("System", key, fallback);
  if (SanitizeUtf8(value).lossy) value.clear();
  if (value.empty() && !fallback.empty()) return std::string(fallback);
  return value;
}

std::string EmptyInfoDefault(bool emptyInfoEnabled, std::string_view text) {
  return emptyInfoEnabled ? std::string() : std::string(text);
}
