// The hashes and encodings HTTP authentication is built from, shared by the server's authenticator
// and the client that answers a media server's challenge, so both compute a digest the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMd5HexLength = 32;

// Lower-case hex, two digits a byte: the form Digest's hashes and nonces travel in.
std::string HexOf(const std::uint8_t* bytes, std::size_t size);
// Either letter case; nothing for an odd length or a character that is no hex digit.
std::optional<std::vector<std::uint8_t>> BytesFromHex(std::string_view text);

// The MD5 of the text in lower-case hex. Throws std::runtime_error when OpenSSL cannot hash (a
// library built without MD5).
std::string Md5Hex(std::string_view text);

// Standard alphabet with "=" padding and no line breaks, as Basic carries user:password.
std::string EncodeBase64(std::string_view bytes);
// Nothing for empty text, a length that is no multiple of four or a character outside the alphabet.
std::optional<std::string> DecodeBase64(std::string_view text);

// A header parameter's quoted-string: in quotes, with '"' and '\\' escaped by a backslash.
std::string Quoted(std::string_view value);

// `size` random bytes from OpenSSL in hex; nothing when it has none to give.
std::optional<std::string> RandomHex(std::size_t size);
