// One RTSP request as a client sent it: the request line, the header fields and, once read, the
// body.
//
// The text comes straight from the network, so Parse bounds what it accepts. Limits:
//   - the head (request line, header lines, line ends) at most kMaxRtspRequestHeadBytes;
//   - at most kMaxRtspHeaderCount header fields;
//   - no control character (below 0x20 but tab, or 0x7F) in the request line or a header line:
//     answers echo header values (Session, Transport) and the log writes words of the request;
//   - at most one Content-Length, a decimal number from 0 to kMaxRtspRequestBodyBytes.
// A single line is bounded by the connection, which refuses lines over 16384 characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "RtspMessage.h"

inline constexpr std::size_t kMaxRtspRequestHeadBytes = 64 * 1024;
inline constexpr std::size_t kMaxRtspHeaderCount = 100;
// No request this server handles carries a body; the bound only lets a client that sends one
// (GET_PARAMETER, SET_PARAMETER) stay in step.
inline constexpr int32_t kMaxRtspRequestBodyBytes = 64 * 1024;

// Why a request was refused and how to answer it.
struct TRtspParseError {
  // The status to answer with: 505 for a request line that is not "<method> <uri> RTSP/1.0" (or
  // HTTP/1.1), 400 for a head over the limits, a control character or a Content-Length that is
  // unreadable or given twice, 413 for a body over the limit. 0 while there is no error.
  int32_t statusCode = 0;
  // A short English phrase for the log; it never quotes the request.
  std::string reason;
  // True when the rest of the input cannot be read as further requests: the head was cut off, or
  // a body follows whose length is unknown, given twice or over the limit. Answer, then close the
  // connection. Otherwise the body Content-Length announces, if any, follows the head and is the
  // caller's to skip.
  bool closeConnection = false;
};

class TRtspRequest : public TRtspBase {
 public:
  // Reads the head of a request. Besides the header fields of TRtspBase::Parse, the request line
  // must hold the method, the URI and the version "RTSP/1.0" or "HTTP/1.1" (exact case), each
  // separated by one space; anything after a further space is ignored. False, with ParseError
  // telling why, when the text is empty, the request line or a limit is broken, a line holds a
  // control character, or Content-Length is not one number within the body limit.
  bool Parse(std::string_view text) override;

  // The first and the second word of the request line, as received (letter case kept).
  const std::string& Method() const { return method_; }
  const std::string& Uri() const { return uri_; }

  // Why the last Parse failed; statusCode 0 after a successful one.
  const TRtspParseError& ParseError() const { return parseError_; }

 private:
  bool Fail(int32_t statusCode, std::string reason, bool closeConnection);

  std::string method_;
  std::string uri_;
  TRtspParseError parseError_;
};
