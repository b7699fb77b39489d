// What one SOAP request over HTTP asks: the operation, its arguments and the WS-Security
// UsernameToken of its header. Recorders write the envelope with any prefix (s:, soap-env:,
// SOAP-ENV:, a default namespace), so everything is matched by local name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The largest request body read; a longer one is refused before it is parsed.
inline constexpr std::size_t kMaxSoapBody = 64 * 1024;

struct TUsernameToken {
  std::string username;
  std::string password;         // the Base64 digest, or the password itself when passwordIsText
  bool passwordIsText = false;  // Type ends in #PasswordText
  std::string nonce;            // Base64 as sent; empty when missing
  std::string created;          // xs:dateTime as sent; empty when missing
};

struct TSoapRequest {
  std::string operation;           // local name of the first element inside Body
  std::string operationNamespace;  // its namespace URI; empty when none is declared
  std::optional<TUsernameToken> token;
  // Local name and text of each element below the operation that holds text, in document order.
  std::vector<std::pair<std::string, std::string>> arguments;

  // The text of the first argument with this local name; empty when there is none.
  std::string Argument(std::string_view localName) const;
};

// Nothing when the body is not a SOAP envelope whose Body holds an element; why then says what
// was wrong, in English, for the log.
std::optional<TSoapRequest> ParseSoapRequest(std::string_view body, std::string* why = nullptr);
