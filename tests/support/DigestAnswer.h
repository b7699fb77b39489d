// What a client answers a Digest challenge with (MD5, no qop), computed the way players do, for
// tests that talk to the server as a client with credentials. Link OpenSSL::Crypto.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <string_view>

inline std::string Md5HexOf(std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back("0123456789abcdef"[digest[i] >> 4]);
    hex.push_back("0123456789abcdef"[digest[i] & 0x0F]);
  }
  return hex;
}

// The Authorization value for method on uri, with the nonce of the challenge.
inline std::string DigestAnswer(const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri,
                                const std::string& nonce, const std::string& realm = "Vistrel") {
  const std::string response = Md5HexOf(Md5HexOf(user + ":" + realm + ":" + password) + ":" +
                                        nonce + ":" + Md5HexOf(method + ":" + uri));
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
         "\", uri=\"" + uri + "\", response=\"" + response + "\"";
}

// The nonce of a WWW-Authenticate value; empty when it has none.
inline std::string NonceOf(const std::string& challenge) {
  const std::size_t start = challenge.find("nonce=\"");
  if (start == std::string::npos) return {};
  const std::size_t end = challenge.find('"', start + 7);
  return end == std::string::npos ? std::string() : challenge.substr(start + 7, end - start - 7);
}
