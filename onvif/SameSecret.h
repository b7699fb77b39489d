// Comparing what a client sent with a secret, for both the SOAP tokens and the snapshot's Basic
// login.
#pragma once

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <array>
#include <string_view>

// Whether two texts are equal, in a time that tells neither where they differ nor how long they
// are: their hashes, of one length, are what is compared.
inline bool SameSecret(std::string_view a, std::string_view b) {
  std::array<unsigned char, SHA256_DIGEST_LENGTH> left{};
  std::array<unsigned char, SHA256_DIGEST_LENGTH> right{};
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), left.data());
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), right.data());
  return CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
}
