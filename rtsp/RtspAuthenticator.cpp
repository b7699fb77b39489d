#include "RtspAuthenticator.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "AuthEncoding.h"
#include "DigestHeader.h"
#include "RtspHeaderList.h"
#include "RtspRequestContext.h"
#include "RtspStatus.h"

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return lower;
}

// Whether two texts are equal, in a time that does not tell how much of them matched.
bool SameSecret(std::string_view a, std::string_view b) {
  const std::string left = Md5Hex(a);
  const std::string right = Md5Hex(b);
  return CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
}

// What follows scheme and authority: "/live/track1" of rtsp://h:6554/live/track1. A URI without a
// scheme is a path already.
std::string_view PathOf(std::string_view uri) {
  const std::size_t scheme = uri.find("://");
  if (scheme == std::string_view::npos) return uri;
  const std::size_t slash = uri.find('/', scheme + 3);
  return slash == std::string_view::npos ? std::string_view() : uri.substr(slash);
}

std::string_view WithoutSlashes(std::string_view text, bool leading) {
  if (leading && text.starts_with('/')) text.remove_prefix(1);
  if (text.ends_with('/')) text.remove_suffix(1);
  return text;
}

// Whether the uri parameter of a digest names the request. Clients differ: most repeat the
// request URI, some send its path alone, some add or drop a trailing slash, and some answer a
// track's SETUP with the stream's URL, the one they described.
bool NamesRequest(std::string_view digestUri, std::string_view requestUri,
                  std::string_view method) {
  const bool relative = digestUri.find("://") == std::string_view::npos;
  const std::string_view asked = WithoutSlashes(relative ? PathOf(digestUri) : digestUri, relative);
  const std::string_view actual =
      WithoutSlashes(relative ? PathOf(requestUri) : requestUri, relative);
  if (asked == actual) return true;
  if (!EqualsIgnoringAsciiCase(method, "SETUP")) return false;
  // The track directly under the stream: asked + "/" + one path segment.
  if (asked.empty() && relative) return actual.find('/') == std::string_view::npos;
  if (!actual.starts_with(asked) || actual.size() <= asked.size() + 1) return false;
  if (actual[asked.size()] != '/') return false;
  return actual.find('/', asked.size() + 1) == std::string_view::npos;
}

void PutTick(std::uint8_t* out, std::uint32_t tick) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(tick >> (24 - 8 * i));
}

}  // namespace

TRtspAuthenticator::TRtspAuthenticator(const platform::TClock& clock,
                                       std::function<void(std::string_view)> log,
                                       std::chrono::milliseconds nonceLifetime)
    : clock_(clock),
      log_(std::move(log)),
      nonceLifetimeMs_(static_cast<std::uint32_t>(
          std::clamp<std::int64_t>(nonceLifetime.count(), 0, std::int64_t{0x7FFFFFFF}))) {
  if (RAND_bytes(key_.data(), static_cast<int>(key_.size())) != 1)
    throw std::runtime_error("no random bytes for the nonce key");
}

std::array<std::uint8_t, TRtspAuthenticator::kNonceMacBytes> TRtspAuthenticator::NonceMac(
    std::uint32_t tick, const std::uint8_t* random) const {
  std::array<std::uint8_t, 4 + kNonceRandomBytes> message{};
  PutTick(message.data(), tick);
  std::copy(random, random + kNonceRandomBytes, message.begin() + 4);
  std::uint8_t mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key_.data(), static_cast<int>(key_.size()), message.data(),
            message.size(), mac, &length) ||
      length < kNonceMacBytes) {
    throw std::runtime_error("nonce hash failed");
  }
  std::array<std::uint8_t, kNonceMacBytes> truncated{};
  std::copy(mac, mac + kNonceMacBytes, truncated.begin());
  return truncated;
}

std::string TRtspAuthenticator::IssueNonce() const {
  std::array<std::uint8_t, 4 + kNonceRandomBytes + kNonceMacBytes> nonce{};
  const std::uint32_t tick = clock_.TickCount();
  PutTick(nonce.data(), tick);
  if (RAND_bytes(nonce.data() + 4, static_cast<int>(kNonceRandomBytes)) != 1)
    throw std::runtime_error("no random bytes for a nonce");
  const auto mac = NonceMac(tick, nonce.data() + 4);
  std::copy(mac.begin(), mac.end(), nonce.begin() + 4 + kNonceRandomBytes);
  return HexOf(nonce.data(), nonce.size());
}

TRtspAuthenticator::TNonceState TRtspAuthenticator::NonceState(std::string_view nonce) const {
  const auto bytes = BytesFromHex(nonce);
  if (!bytes || bytes->size() != 4 + kNonceRandomBytes + kNonceMacBytes)
    return TNonceState::Foreign;
  const std::uint32_t tick = std::uint32_t{(*bytes)[0]} << 24 | std::uint32_t{(*bytes)[1]} << 16 |
                             std::uint32_t{(*bytes)[2]} << 8 | std::uint32_t{(*bytes)[3]};
  const auto mac = NonceMac(tick, bytes->data() + 4);
  if (CRYPTO_memcmp(mac.data(), bytes->data() + 4 + kNonceRandomBytes, mac.size()) != 0)
    return TNonceState::Foreign;
  const std::uint32_t age = platform::TicksElapsed(tick, clock_.TickCount());
  return age <= nonceLifetimeMs_ ? TNonceState::Current : TNonceState::Expired;
}

TRtspAccessVerdict TRtspAuthenticator::Check(const TRtspCredentials& credentials,
                                             std::string_view method, std::string_view requestUri,
                                             std::string_view authorization) const {
  if (credentials.user.empty()) return {TRtspAccess::Allowed, {}};
  if (authorization.find_first_not_of(" \t") == std::string_view::npos)
    return {TRtspAccess::Challenge, {}};
  const std::optional<TDigestHeader> header = TDigestHeader::Parse(authorization);
  if (!header) return {TRtspAccess::Challenge, "unreadable Authorization header"};
  if (header->IsScheme("Digest")) return CheckDigest(credentials, method, requestUri, *header);
  if (!header->IsScheme("Basic")) return {TRtspAccess::Challenge, "unknown scheme"};
  if (!credentials.allowBasic) return {TRtspAccess::Challenge, "Basic not allowed"};
  const std::optional<std::string> pair = DecodeBase64(header->Token());
  const std::size_t colon = pair ? pair->find(':') : std::string::npos;
  if (colon == std::string::npos) return {TRtspAccess::Challenge, "unreadable Basic credentials"};
  if (pair->substr(0, colon) != credentials.user) return {TRtspAccess::Challenge, "unknown user"};
  if (!SameSecret(pair->substr(colon + 1), credentials.password))
    return {TRtspAccess::Challenge, "wrong password"};
  return {TRtspAccess::Allowed, {}};
}

TRtspAccessVerdict TRtspAuthenticator::CheckDigest(const TRtspCredentials& credentials,
                                                   std::string_view method,
                                                   std::string_view requestUri,
                                                   const TDigestHeader& header) const {
  const auto user = header.Get("username");
  const auto realm = header.Get("realm");
  const auto nonce = header.Get("nonce");
  const auto uri = header.Get("uri");
  const auto response = header.Get("response");
  if (!user || !realm || !nonce || !uri || !response)
    return {TRtspAccess::Challenge, "incomplete Digest"};
  // Only what the challenge offered: MD5, no qop.
  if (const auto algorithm = header.Get("algorithm");
      algorithm && !EqualsIgnoringAsciiCase(*algorithm, "MD5")) {
    return {TRtspAccess::Challenge, "Digest algorithm not offered"};
  }
  if (header.Get("qop")) return {TRtspAccess::Challenge, "Digest qop not offered"};
  if (*realm != kRealm) return {TRtspAccess::Challenge, "other realm"};
  if (*user != credentials.user) return {TRtspAccess::Challenge, "unknown user"};
  if (!NamesRequest(*uri, requestUri, method))
    return {TRtspAccess::Challenge, "Digest uri is not the request's"};

  const std::string ha1 =
      Md5Hex(credentials.user + ":" + std::string(kRealm) + ":" + credentials.password);
  const std::string ha2 = Md5Hex(std::string(method) + ":" + *uri);
  const std::string expected = Md5Hex(ha1 + ":" + *nonce + ":" + ha2);
  const std::string given = Lower(*response);
  if (given.size() != kMd5HexLength ||
      CRYPTO_memcmp(expected.data(), given.data(), kMd5HexLength) != 0) {
    return {TRtspAccess::Challenge, "wrong password"};
  }
  // Right credentials on a nonce of another run or past its time: the client only needs a new one.
  if (NonceState(*nonce) != TNonceState::Current) return {TRtspAccess::Stale, {}};
  return {TRtspAccess::Allowed, {}};
}

std::vector<std::string> TRtspAuthenticator::Challenges(const TRtspCredentials& credentials,
                                                        bool stale) const {
  // Digest first, realm before nonce and stale last: some clients read the first challenge only,
  // and in exactly this form.
  std::vector<std::string> challenges{"Digest realm=\"" + std::string(kRealm) + "\", nonce=\"" +
                                      IssueNonce() + "\"" + (stale ? ", stale=TRUE" : "")};
  if (credentials.allowBasic) challenges.push_back("Basic realm=\"" + std::string(kRealm) + "\"");
  return challenges;
}

TRtspAccessVerdict TRtspAuthenticator::Judge(const TRtspContext& context,
                                             const TRtspCredentials& credentials) const {
  const TRtspRequest& request = context.Request();
  if (EqualsIgnoringAsciiCase(request.Method(), "OPTIONS")) return {TRtspAccess::Allowed, {}};
  return Check(credentials, request.Method(), request.Uri(), request.GetHeader("Authorization"));
}

void TRtspAuthenticator::Refuse(TRtspContext& context, const TRtspCredentials& credentials,
                                const TRtspAccessVerdict& verdict) {
  const TRtspRequest& request = context.Request();
  if (!verdict.refusal.empty()) {
    ReportRefusal(context.PeerAddress() + ":" + std::to_string(context.PeerPort()),
                  request.Method(), verdict.refusal);
  }
  for (std::string& challenge : Challenges(credentials, verdict.access == TRtspAccess::Stale))
    context.Response().Headers().Add("WWW-Authenticate", std::move(challenge));
  context.SendResponse(kRtspUnauthorized);
}

void TRtspAuthenticator::ReportRefusal(std::string_view peer, std::string_view method,
                                       std::string_view why) {
  std::string line;
  {
    const std::lock_guard guard(reportLock_);
    // A client guessing passwords must not be able to fill the disk with the log.
    const std::size_t refused = refusals_.Count(clock_.TickCount());
    if (refused == 0) return;
    line = "refused credentials from " + std::string(peer) + " (" + std::string(method) + ", " +
           std::string(why) + ")";
    if (refused > 1)
      line += ", " + std::to_string(refused - 1) + " more refused since the last report";
  }
  if (log_) log_(line);
}
