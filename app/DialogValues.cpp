#include "DialogValues.h"

#include <arpa/inet.h>

#include "CodePage.h"
#include "config/Settings.h"

namespace {

constexpr int32_t kStandardPort = 6554;

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n\f\v");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(first, last - first + 1);
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// The address the listener will be given: what inet_pton takes is what binding takes.
bool IsDottedIpv4(const std::string& text) {
  in_addr address{};
  return text.find('\0') == std::string::npos && ::inet_pton(AF_INET, text.c_str(), &address) == 1;
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

TCameraAccessProblem CheckCameraAccess(const TCameraAccess& access) {
  using enum TCameraAccessProblem;
  if (HasLineBreak(access.user) || HasLineBreak(access.password) ||
      HasLineBreak(access.bindAddress)) {
    return LineBreak;
  }
  if (!access.bindAddress.empty() && !IsDottedIpv4(access.bindAddress)) return BadBindAddress;
  if (!access.user.empty() && access.password.empty()) return PasswordMissing;
  if (access.user.empty() && !access.password.empty()) return UserMissing;
  if (access.onvifEnabled && access.user.empty()) return OnvifNeedsUser;
  return None;
}
