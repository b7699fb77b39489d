// Answers a media server's 401 when publishing to it: picks the strongest challenge it can
// answer and writes the Authorization value for each request after it.
//
// Digest is answered with MD5 only (an absent algorithm means MD5), with qop=auth when the server
// offers it and without qop when it offers none; Basic only when no Digest challenge can be
// answered, since it sends the password in clear. Thread-free: one per connection.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TRtspClientAuth {
 public:
  // cnonce gives a fresh client nonce for each challenge taken with qop; empty: 16 random bytes in
  // hex from OpenSSL.
  TRtspClientAuth(std::string user, std::string password, std::function<std::string()> cnonce = {});

  // Takes the WWW-Authenticate values of a 401 and picks the strongest it can answer. False when
  // none can be answered (only unknown schemes, Digest with another algorithm than MD5 or a qop
  // other than auth, unreadable values) or there is no user to answer with; why in `error`, a
  // line for the log that never holds the password nor anything the server sent. A false leaves
  // no earlier challenge in force.
  bool TakeChallenge(const std::vector<std::string>& wwwAuthenticate, std::string& error);

  // The Authorization value for a request; empty before a challenge was taken, and when method
  // or uri holds a control character other than tab (no request can carry it). With qop, each
  // call counts nc up (00000001, 00000002, ...).
  std::string Authorization(std::string_view method, std::string_view uri);

  // The last Digest challenge taken said stale=true: the nonce ran out, not the password, so a
  // retry needs no one to be asked.
  bool Stale() const { return stale_; }

 private:
  enum class TScheme { None, Digest, Basic };

  std::string DigestAuthorization(std::string_view method, std::string_view uri);

  std::string user_;
  std::string password_;
  std::function<std::string()> cnonce_;

  TScheme scheme_ = TScheme::None;
  std::string realm_;
  std::string nonce_;
  std::optional<std::string> opaque_;
  std::optional<std::string> algorithm_;  // echoed as the server spelled it
  bool qop_ = false;
  std::string clientNonce_;
  uint32_t nonceCount_ = 0;
  bool stale_ = false;
};
