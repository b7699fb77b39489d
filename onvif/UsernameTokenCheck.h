// The WS-Security UsernameToken of a SOAP request judged against the camera's user and password.
// A digest token proves the password without sending it: Base64(SHA-1(nonce bytes + Created text
// + password)). Its Created time must lie within kWindow of now either way, and its nonce must not
// have been used before within that window, so a token seen on the network cannot be sent again.
//
// Only nonces of tokens whose digest was right are remembered, so that no one without the
// password can fill the memory, and at most kMaxNonces of them: past that the oldest is forgotten.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "OnvifCredentials.h"
#include "SoapRequest.h"

enum class TTokenVerdict {
  Accepted,
  Missing,           // no UsernameToken at all
  UnknownUser,
  WrongPassword,
  BadDigest,         // the password of a digest token is not Base64 of a SHA-1
  BadNonce,          // missing, or not Base64
  BadCreated,        // missing, or not an xs:dateTime
  Stale,             // Created further than the window from now
  Replayed,          // the nonce was accepted before
  ClearTextRefused,  // a PasswordText token while clear text is not allowed
};

// A few words in English for the log: "wrong password", "nonce used before".
std::string_view TokenVerdictText(TTokenVerdict verdict);

// An xs:dateTime such as 2026-12-09T11:22:33Z, with optional fractions of a second and a zone of
// Z or ±hh:mm; without a zone it is read as UTC, as cameras run on UTC. Nothing when unreadable.
std::optional<std::chrono::system_clock::time_point> ParseXsDateTime(std::string_view text);

class TUsernameTokenCheck {
 public:
  static constexpr std::chrono::minutes kWindow{5};
  static constexpr std::size_t kMaxNonces = 4096;

  // Safe from several threads at once; `now` is the wall-clock time the token is judged at.
  TTokenVerdict Check(const std::optional<TUsernameToken>& token,
                      const TOnvifCredentials& credentials,
                      std::chrono::system_clock::time_point now);

 private:
  struct TUsedNonce {
    std::string hash;  // SHA-1 of the nonce's bytes, so a long nonce costs no more to keep
    std::chrono::system_clock::time_point created;
  };

  // False when the nonce was used before; else remembers it.
  bool Remember(std::string hash, std::chrono::system_clock::time_point created,
                std::chrono::system_clock::time_point now);

  std::mutex lock_;
  std::deque<TUsedNonce> used_;  // in the order accepted; under lock_
};
