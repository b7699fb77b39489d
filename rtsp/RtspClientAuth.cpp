#include "RtspClientAuth.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "AuthEncoding.h"
#include "DigestHeader.h"
#include "RtspHeaderList.h"
#include "RtspMessageText.h"

namespace {

constexpr std::size_t kClientNonceBytes = 16;

// Whether a qop list ("auth,auth-int") holds plain auth.
bool OffersAuth(std::string_view qop) {
  for (std::size_t start = 0; start <= qop.size();) {
    const std::size_t comma = std::min(qop.find(',', start), qop.size());
    if (EqualsIgnoringAsciiCase(TrimBlanks(qop.substr(start, comma - start)), "auth")) return true;
    start = comma + 1;
  }
  return false;
}

// Why a Digest challenge cannot be answered; empty when it can.
std::string_view DigestProblem(const TDigestHeader& challenge) {
  if (!challenge.Get("realm") || !challenge.Get("nonce")) return "Digest without realm or nonce";
  if (const auto algorithm = challenge.Get("algorithm");
      algorithm && !EqualsIgnoringAsciiCase(*algorithm, "MD5")) {
    return "Digest with another algorithm than MD5";
  }
  if (const auto qop = challenge.Get("qop"); qop && !OffersAuth(*qop))
    return "Digest with a qop other than auth";
  return {};
}

}  // namespace

TRtspClientAuth::TRtspClientAuth(std::string user, std::string password,
                                 std::function<std::string()> cnonce)
    : user_(std::move(user)), password_(std::move(password)), cnonce_(std::move(cnonce)) {}

bool TRtspClientAuth::TakeChallenge(const std::vector<std::string>& wwwAuthenticate,
                                    std::string& error) {
  error.clear();
  scheme_ = TScheme::None;
  stale_ = false;
  const auto fail = [&error](std::string why) {
    error = std::move(why);
    return false;
  };
  if (user_.empty()) return fail("the server asks for credentials, and the URL gives no user");
  if (HasRtspControlCharacter(user_)) return fail("control character in the user name");
  if (wwwAuthenticate.empty()) return fail("401 without a challenge");

  std::optional<TDigestHeader> digest;
  bool basic = false;
  std::vector<std::string_view> problems;
  const auto note = [&problems](std::string_view problem) {
    if (std::find(problems.begin(), problems.end(), problem) == problems.end())
      problems.push_back(problem);
  };
  for (const std::string& value : wwwAuthenticate) {
    std::optional<TDigestHeader> challenge = TDigestHeader::Parse(value);
    if (!challenge) {
      note("unreadable challenge");
    } else if (challenge->IsScheme("Digest")) {
      const std::string_view problem = DigestProblem(*challenge);
      if (!problem.empty()) {
        note(problem);
      } else if (!digest) {
        digest = std::move(challenge);
      }
    } else if (challenge->IsScheme("Basic")) {
      // user-id ":" password: a ':' in the user would move the split.
      if (user_.find(':') != std::string::npos) {
        note("Basic with a ':' in the user name");
      } else {
        basic = true;
      }
    } else {
      note("unknown scheme");
    }
  }

  if (digest) {
    realm_ = *digest->Get("realm");
    nonce_ = *digest->Get("nonce");
    opaque_ = digest->Get("opaque");
    algorithm_ = digest->Get("algorithm");
    qop_ = digest->Get("qop").has_value();
    stale_ = EqualsIgnoringAsciiCase(digest->Get("stale").value_or(""), "true");
    nonceCount_ = 0;
    clientNonce_.clear();
    if (qop_) {
      if (cnonce_) {
        clientNonce_ = cnonce_();
      } else if (auto random = RandomHex(kClientNonceBytes)) {
        clientNonce_ = std::move(*random);
      } else {
        return fail("no random bytes for the client nonce");
      }
    }
    scheme_ = TScheme::Digest;
    return true;
  }
  if (basic) {
    scheme_ = TScheme::Basic;
    return true;
  }
  std::string why = "cannot answer the server's challenge: ";
  for (std::size_t i = 0; i < problems.size(); ++i)
    why += (i ? ", " : "") + std::string(problems[i]);
  return fail(std::move(why));
}

std::string TRtspClientAuth::Authorization(std::string_view method, std::string_view uri) {
  if (HasRtspControlCharacter(method) || HasRtspControlCharacter(uri)) return {};
  std::string value;
  if (scheme_ == TScheme::Basic) value = "Basic " + EncodeBase64(user_ + ":" + password_);
  if (scheme_ == TScheme::Digest) value = DigestAuthorization(method, uri);
  // The last guard: a value from the server or the cnonce source must not end the header early.
  return HasRtspControlCharacter(value) ? std::string() : value;
}

std::string TRtspClientAuth::DigestAuthorization(std::string_view method, std::string_view uri) {
  const std::string ha1 = Md5Hex(user_ + ":" + realm_ + ":" + password_);
  const std::string ha2 = Md5Hex(std::string(method) + ":" + std::string(uri));
  std::string value = "Digest username=" + Quoted(user_) + ", realm=" + Quoted(realm_) +
                      ", nonce=" + Quoted(nonce_) + ", uri=" + Quoted(uri);
  if (qop_) {
    char count[9];
    std::snprintf(count, sizeof count, "%08x", static_cast<unsigned>(++nonceCount_));
    value +=
        ", response=" +
        Quoted(Md5Hex(ha1 + ":" + nonce_ + ":" + count + ":" + clientNonce_ + ":auth:" + ha2)) +
        ", qop=auth, nc=" + count + ", cnonce=" + Quoted(clientNonce_);
  } else {
    value += ", response=" + Quoted(Md5Hex(ha1 + ":" + nonce_ + ":" + ha2));
  }
  if (algorithm_) value += ", algorithm=" + *algorithm_;
  if (opaque_) value += ", opaque=" + Quoted(*opaque_);
  return value;
}
