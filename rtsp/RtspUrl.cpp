#include "RtspUrl.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "RtspHeaderList.h"

namespace {

constexpr std::string_view kScheme = "rtsp://";

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool IsControlOrBlank(char c) {
  return c == ' ' || IsControl(c);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Nothing when a '%' is not followed by two hex digits.
std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    decoded.push_back(static_cast<char>(high << 4 | low));
    i += 2;
  }
  return decoded;
}

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return lower;
}

std::optional<uint16_t> PortOf(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

std::optional<TRtspUrl> Fail(std::string& error, std::string reason) {
  error = std::move(reason);
  return std::nullopt;
}

}  // namespace

std::string TRtspUrl::Display() const {
  return host + ":" + std::to_string(port) + path;
}

std::string TRtspUrl::RequestUri() const {
  return std::string(kScheme) + Display();
}

std::optional<TRtspUrl> ParseRtspUrl(std::string_view text, std::string& error) {
  error.clear();
  if (text.size() > kMaxRtspUrlLength)
    return Fail(error, "URL over " + std::to_string(kMaxRtspUrlLength) + " characters");
  if (std::any_of(text.begin(), text.end(), IsControlOrBlank))
    return Fail(error, "blank or control character in the URL");
  if (text.size() < kScheme.size() ||
      !EqualsIgnoringAsciiCase(text.substr(0, kScheme.size()), kScheme))
    return Fail(error, "URL does not start with rtsp://");
  text.remove_prefix(kScheme.size());

  // The fragment never reaches the server.
  text = text.substr(0, text.find('#'));
  const std::size_t authorityEnd = std::min(text.find('/'), text.find('?'));
  std::string_view authority = text.substr(0, authorityEnd);
  const std::string_view rest =
      authorityEnd == std::string_view::npos ? std::string_view() : text.substr(authorityEnd);

  TRtspUrl url;
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userinfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    const std::size_t colon = userinfo.find(':');
    const auto user = PercentDecoded(userinfo.substr(0, colon));
    const auto password = colon == std::string_view::npos
                              ? std::optional<std::string>(std::string())
                              : PercentDecoded(userinfo.substr(colon + 1));
    if (!user || !password) return Fail(error, "bad percent escape in the user or password");
    // An encoded blank is fine ("Circle%20Of%20Life"); a line break would end the header the user
    // name is quoted in.
    if (std::any_of(user->begin(), user->end(), IsControl) ||
        std::any_of(password->begin(), password->end(), IsControl)) {
      return Fail(error, "control character in the user or password");
    }
    url.user = *user;
    url.password = *password;
  }

  if (authority.starts_with('['))
    return Fail(error, "IPv6 addresses are not supported yet; use a host name or IPv4 address");
  const std::size_t colon = authority.find(':');
  const std::string_view host = authority.substr(0, colon);
  if (host.empty()) return Fail(error, "no host in the URL");
  if (!std::all_of(host.begin(), host.end(), IsHostChar)) return Fail(error, "bad host name");
  url.host = Lower(host);
  if (colon != std::string_view::npos) {
    const auto port = PortOf(authority.substr(colon + 1));
    if (!port) return Fail(error, "port is not a number from 1 to 65535");
    url.port = *port;
  }

  if (!rest.empty()) {
    if (!PercentDecoded(rest)) return Fail(error, "bad percent escape in the path");
    url.path = rest.starts_with('/') ? std::string(rest) : "/" + std::string(rest);
  }
  return url;
}
