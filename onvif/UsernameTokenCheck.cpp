#include "UsernameTokenCheck.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "SameSecret.h"

namespace {

using TimePoint = std::chrono::system_clock::time_point;

constexpr std::size_t kSha1Bytes = 20;

std::string Sha1(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr) != 1)
    throw std::runtime_error("SHA-1 digest failed");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

// The bytes of canonical Base64 only: what decodes but would be written otherwise (blanks, '='
// inside, stray bits in the last character) is refused, as no client writes it.
std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  const int capacity = static_cast<int>(text.size());
  std::string decoded(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()), capacity);
  if (length < 0) return std::nullopt;
  const auto padding = static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
  decoded.resize(static_cast<std::size_t>(length) - padding);
  std::string again(text.size() + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()),
                                      reinterpret_cast<const unsigned char*>(decoded.data()),
                                      static_cast<int>(decoded.size()));
  if (std::string_view(again.data(), static_cast<std::size_t>(written)) != text)
    return std::nullopt;
  return decoded;
}

// Reads `count` digits at `at` into `value`; false when they are not all there.
bool Digits(std::string_view text, std::size_t& at, std::size_t count, int& value) {
  if (text.size() < at + count) return false;
  value = 0;
  for (std::size_t end = at + count; at < end; ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    value = value * 10 + (text[at] - '0');
  }
  return true;
}

bool Literal(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

}  // namespace

std::string_view TokenVerdictText(TTokenVerdict verdict) {
  switch (verdict) {
    case TTokenVerdict::Accepted: return "accepted";
    case TTokenVerdict::Missing: return "no UsernameToken";
    case TTokenVerdict::UnknownUser: return "unknown user";
    case TTokenVerdict::WrongPassword: return "wrong password";
    case TTokenVerdict::BadDigest: return "password digest is not Base64 of a SHA-1";
    case TTokenVerdict::BadNonce: return "nonce missing or not Base64";
    case TTokenVerdict::BadCreated: return "Created missing or not a date and time";
    case TTokenVerdict::Stale: return "Created more than 5 minutes from the camera's clock";
    case TTokenVerdict::Replayed: return "nonce used before";
    case TTokenVerdict::ClearTextRefused: return "clear-text password not allowed";
  }
  return "unknown verdict";
}

std::optional<TimePoint> ParseXsDateTime(std::string_view text) {
  using namespace std::chrono;
  std::size_t at = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (!Digits(text, at, 4, y) || !Literal(text, at, '-') || !Digits(text, at, 2, mo) ||
      !Literal(text, at, '-') || !Digits(text, at, 2, d) || !Literal(text, at, 'T') ||
      !Digits(text, at, 2, h) || !Literal(text, at, ':') || !Digits(text, at, 2, mi) ||
      !Literal(text, at, ':') || !Digits(text, at, 2, s)) {
    return std::nullopt;
  }
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  // The clock counts nanoseconds in 64 bits, which reach only from 1678 to 2262.
  if (!date.ok() || y < 1900 || y > 2200 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  nanoseconds fraction{0};
  if (Literal(text, at, '.')) {
    nanoseconds scale{100000000};
    const std::size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10)
      fraction += scale * (text[at] - '0');
    if (at == first) return std::nullopt;
  }
  minutes offset{0};
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int sign = text[at++] == '-' ? -1 : 1;
    int oh = 0, om = 0;
    if (!Digits(text, at, 2, oh) || !Literal(text, at, ':') || !Digits(text, at, 2, om) ||
        oh > 14 || om > 59) {
      return std::nullopt;
    }
    offset = minutes{sign * (oh * 60 + om)};
  } else {
    Literal(text, at, 'Z');
  }
  if (at != text.size()) return std::nullopt;
  const auto local = sys_days{date} + hours{h} + minutes{mi} + seconds{s} + fraction;
  // 12:00+01:00 is 11:00 UTC.
  return time_point_cast<system_clock::duration>(local - offset);
}

TTokenVerdict TUsernameTokenCheck::Check(const std::optional<TUsernameToken>& token,
                                         const TOnvifCredentials& credentials, TimePoint now) {
  if (!token) return TTokenVerdict::Missing;
  if (token->username != credentials.user) return TTokenVerdict::UnknownUser;
  if (token->passwordIsText) {
    if (!credentials.allowClearText) return TTokenVerdict::ClearTextRefused;
    return SameSecret(token->password, credentials.password) ? TTokenVerdict::Accepted
                                                             : TTokenVerdict::WrongPassword;
  }
  const std::optional<std::string> nonce = DecodeBase64(token->nonce);
  if (!nonce) return TTokenVerdict::BadNonce;
  const std::optional<TimePoint> created = ParseXsDateTime(token->created);
  if (!created) return TTokenVerdict::BadCreated;
  if (*created < now - kWindow || *created > now + kWindow) return TTokenVerdict::Stale;
  const std::optional<std::string> digest = DecodeBase64(token->password);
  if (!digest || digest->size() != kSha1Bytes) return TTokenVerdict::BadDigest;
  const std::string expected = Sha1(*nonce + token->created + credentials.password);
  if (CRYPTO_memcmp(expected.data(), digest->data(), kSha1Bytes) != 0)
    return TTokenVerdict::WrongPassword;
  return Remember(Sha1(*nonce), *created, now) ? TTokenVerdict::Accepted
                                               : TTokenVerdict::Replayed;
}

bool TUsernameTokenCheck::Remember(std::string hash, TimePoint created, TimePoint now) {
  const std::lock_guard guard(lock_);
  // A nonce whose Created left the window is refused as stale anyway. A few thousand entries
  // searched in order cost less than the SHA-1 before them.
  std::erase_if(used_, [&](const TUsedNonce& used) { return used.created < now - kWindow; });
  const auto same = [&](const TUsedNonce& used) { return used.hash == hash; };
  if (std::any_of(used_.begin(), used_.end(), same)) return false;
  used_.push_back({std::move(hash), created});
  while (used_.size() > kMaxNonces) used_.pop_front();
  return true;
}
