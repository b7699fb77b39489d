#include "OnvifIdentity.h"

#include <openssl/sha.h>

#include <array>
#include <cstdio>

namespace {

std::string Hex(const unsigned char* bytes, std::size_t count) {
  std::string out;
  char digits[3];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    out += digits;
  }
  return out;
}

}  // namespace

TOnvifIdentity MakeOnvifIdentity(std::string_view seed, std::string name, std::string firmware) {
  const std::string keyed = "vistrel-onvif:" + std::string(seed);
  std::array<unsigned char, SHA_DIGEST_LENGTH> digest{};
  SHA1(reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size(), digest.data());
  // A name-based UUID (version 5, RFC 4122 variant): a valid UUID that never changes for the seed.
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
  const std::string hex = Hex(digest.data(), 16);

  TOnvifIdentity identity;
  identity.endpointUuid = "urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" +
                          hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" + hex.substr(20, 12);
  std::string serial = Hex(digest.data() + 10, 6);
  for (char& c : serial) c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  identity.serial = "VT" + serial;
  identity.hardwareId = "Vistrel";
  identity.manufacturer = "Vistrel";
  identity.model = "Desktop Camera";
  identity.firmware = std::move(firmware);
  identity.name = std::move(name);
  return identity;
}
