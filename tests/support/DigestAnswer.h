// A client's answer to a Digest challenge (MD5, no qop), as players compute it. Needs libcrypto.
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
    hex += "0123456789abcdef"[digest[i] >> 4];
    hex += "0123456789abcdef"[digest[i] & 15];
  }
  return hex;
}

inline std::string DigestAnswer(const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri,
                                const std::string& nonce) {
  const std::string ha1 = Md5HexOf(user + ":Vistrel:" + password);
  return "Digest username=\"" + user + "\", realm=\"Vistrel\", nonce=\"" + nonce + "\", uri=\"" +
         uri + "\", response=\"" +
         Md5HexOf(ha1 + ":" + nonce + ":" + Md5HexOf(method + ":" + uri)) + "\"";
}

// The nonce of a WWW-Authenticate value; empty when it has none.
inline std::string NonceOf(const std::string& challenge) {
  const std::size_t start = challenge.find("nonce=\"");
  if (start == std::string::npos) return {};
  return challenge.substr(start + 7, challenge.find('"', start + 7) - start - 7);
}
