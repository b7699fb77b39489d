// Who may watch: with a user set, every request but OPTIONS must carry the user's credentials,
// as HTTP Digest with MD5 and without qop (what recorders and players send to cameras), or as
// Basic when the settings allow it. A request without them is answered 401 with a challenge.
//
// Nonces are self-checking, so nothing is kept per client: the hex of the tick they were issued
// at, random bytes, and a keyed hash of both under a key drawn when the authenticator is made.
// A nonce is current for nonceLifetime after it was issued; after that, or when it comes from
// another run of the program, a request whose digest is right otherwise is answered 401 with
// stale=TRUE, which clients take as a cue to retry with the new nonce without asking anyone.
//
// Refused credentials are logged with the client's address, at most one line a second with a count
// of those left out in between; never the password, the digest or the header itself. A request
// without credentials is no failure: it is how every client starts.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/LogThrottle.h"
#include "platform/Clock.h"

class TDigestHeader;
class TRtspContext;

// The credentials asked of clients, read afresh for each request (they change while the program
// runs). An empty user asks for none.
struct TRtspCredentials {
  std::string user;
  std::string password;
  // Basic accepted and offered beside Digest; its password then travels in clear.
  bool allowBasic = false;
};

enum class TRtspAccess {
  Allowed,    // no credentials asked, or the right ones given
  Challenge,  // none given or wrong ones: 401 with a fresh nonce
  Stale,      // right, but on a nonce that is no longer current: 401 with stale=TRUE
};

struct TRtspAccessVerdict {
  TRtspAccess access = TRtspAccess::Challenge;
  // Why credentials that were sent were refused, a short English phrase for the log; empty when
  // none were sent or they passed.
  std::string refusal;
};

class TRtspAuthenticator {
 public:
  static constexpr std::string_view kRealm = "Vistrel";
  static constexpr std::chrono::milliseconds kNonceLifetime{5 * 60 * 1000};

  // The clock's ticks time the nonces and the refusal lines; it must outlive the authenticator.
  // Throws std::runtime_error when no random key can be drawn.
  TRtspAuthenticator(const platform::TClock& clock, std::function<void(std::string_view)> log,
                     std::chrono::milliseconds nonceLifetime = kNonceLifetime);
  TRtspAuthenticator(const TRtspAuthenticator&) = delete;
  TRtspAuthenticator& operator=(const TRtspAuthenticator&) = delete;

  // Judges one request's Authorization value. The digest is taken over the uri parameter the
  // client sent, which must name this request: the request URI itself or its path, with or
  // without a trailing slash, or on SETUP also the stream's URL the track URI lies under.
  TRtspAccessVerdict Check(const TRtspCredentials& credentials, std::string_view method,
                           std::string_view requestUri, std::string_view authorization) const;

  // The WWW-Authenticate values of a 401: Digest with a fresh nonce, then Basic when allowed.
  std::vector<std::string> Challenges(const TRtspCredentials& credentials, bool stale) const;

  // The gate in front of the method handlers: Check of the request in the context. OPTIONS always
  // goes on: clients ask it before anything else, and some never send credentials with it.
  TRtspAccessVerdict Judge(const TRtspContext& context, const TRtspCredentials& credentials) const;
  // Answers a request Judge did not allow: logs the refusal, if any, and sends 401 with the
  // challenges.
  void Refuse(TRtspContext& context, const TRtspCredentials& credentials,
              const TRtspAccessVerdict& verdict);

  std::string IssueNonce() const;

 private:
  enum class TNonceState { Current, Expired, Foreign };
  static constexpr std::size_t kNonceRandomBytes = 8;
  static constexpr std::size_t kNonceMacBytes = 16;

  TNonceState NonceState(std::string_view nonce) const;
  std::array<std::uint8_t, kNonceMacBytes> NonceMac(std::uint32_t tick,
                                                    const std::uint8_t* random) const;
  TRtspAccessVerdict CheckDigest(const TRtspCredentials& credentials, std::string_view method,
                                 std::string_view requestUri, const TDigestHeader& header) const;
  void ReportRefusal(std::string_view peer, std::string_view method, std::string_view why);

  const platform::TClock& clock_;
  const std::function<void(std::string_view)> log_;
  const std::uint32_t nonceLifetimeMs_;
  std::array<std::uint8_t, 32> key_{};

  std::mutex reportLock_;
  TLogThrottle refusals_;  // under reportLock_
};
