// The value of an Authorization header as a client sends it: a scheme, then either comma-separated
// parameters (Digest: username="nvr", nonce="...", ...) or a single token (Basic: the Base64 of
// user:password).
//
// The text comes from anyone who reaches the port, before they have proved anything, so the reader
// is strict about size and lenient about form: white space around "=" and ",", empty elements and
// the letter case of scheme and keys vary between clients and are all accepted; quoted values may
// hold backslash escapes. What cannot be read unambiguously (a key given twice, an unterminated
// quote, a bare value) is refused as a whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Longer values are refused unread: a real one is a few hundred characters.
inline constexpr std::size_t kMaxAuthorizationLength = 4096;
inline constexpr std::size_t kMaxAuthorizationParameters = 32;

class TDigestHeader {
 public:
  // Nothing when the value is empty, too long or not readable as described above.
  static std::optional<TDigestHeader> Parse(std::string_view value);

  // As sent ("Digest", "basic", ...); compare with IsScheme.
  const std::string& Scheme() const { return scheme_; }
  bool IsScheme(std::string_view name) const;
  // The single token after the scheme (Basic); empty when parameters follow instead.
  const std::string& Token() const { return token_; }
  // The value of a parameter, escapes resolved; nothing when absent. Keys match in any letter case.
  std::optional<std::string> Get(std::string_view key) const;
  // Keys in lower case, in the order sent.
  const std::vector<std::pair<std::string, std::string>>& Parameters() const { return parameters_; }

 private:
  std::string scheme_;
  std::string token_;
  std::vector<std::pair<std::string, std::string>> parameters_;
};
