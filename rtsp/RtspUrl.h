// Where to publish: rtsp://[user[:password]@]host[:port][/path] as the settings give it
// ([Publish] Url=).
//
// The authority runs from "rtsp://" to the first '/', '?' or '#'. Within it the LAST '@' ends the
// user information, as browsers read it, so a password holding a raw '@' still works; the FIRST
// ':' in the user information ends the user, so a user name can hold ':' only as %3A, and a
// password may hold raw ':'. '/', '?' and '#' in user or password must be percent-encoded, or they
// end the authority. A fragment ('#...') is dropped, since it is never sent to a server; the query
// stays with the path, since servers tell streams apart by it.
//
// User and password are percent-decoded; the path is kept as written (it goes on the wire so),
// but its escapes must be well-formed too. A host is a name of letters, digits, '-', '_' and '.',
// or a dotted IPv4 address; names are lower-cased.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::size_t kMaxRtspUrlLength = 2048;
inline constexpr uint16_t kDefaultRtspPort = 554;

struct TRtspUrl {
  std::string user;      // percent-decoded; empty when the URL has none
  std::string password;  // percent-decoded
  std::string host;
  uint16_t port = kDefaultRtspPort;
  std::string path = "/";  // from the first '/' after the authority, query included; "/" when none

  // "relay:8554/cam": for the log and the user, so never the credentials.
  std::string Display() const;
  // "rtsp://relay:8554/cam": what requests name; never the credentials, which servers would log.
  std::string RequestUri() const;
};

// Nothing, and a one-line reason in `error` (for a log line, never quoting the password), when
// the text is not such a URL: another scheme, an empty or malformed host, a port not 1..65535,
// control characters or blanks anywhere (in user or password also percent-encoded control
// characters; an encoded blank is fine there), a bad percent escape, an IPv6 literal (not
// supported yet), over kMaxRtspUrlLength characters.
std::optional<TRtspUrl> ParseRtspUrl(std::string_view text, std::string& error);
