// A response as a client reads it when publishing to a media server: the status line and the
// header fields. The body follows the head on the connection and is the caller's to read, as long
// as GetContentLength says.
//
// The text comes from a server that may be anything that listens on the port, so Parse bounds it
// as the server bounds requests: at most kMaxRtspReplyHeadBytes and kMaxRtspReplyHeaderCount
// fields, no control character (below 0x20 but tab, or 0x7F), at most one Content-Length, a number
// from 0 to kMaxRtspReplyBodyBytes, so the body's end, where the next response starts, is known.
//
// Only "RTSP/1.0" is accepted as the version: every server we publish to answers so, and one that
// answers with another version does not speak ours, so reading on would only misread it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RtspMessage.h"

inline constexpr std::size_t kMaxRtspReplyHeadBytes = 64 * 1024;
inline constexpr std::size_t kMaxRtspReplyHeaderCount = 100;
// A publisher's requests are answered with empty bodies or short texts; a server sending more is
// refused rather than read for ever.
inline constexpr int32_t kMaxRtspReplyBodyBytes = 64 * 1024;

class TRtspReply : public TRtspBase {
 public:
  // The head: status line and header lines, ending in CR LF or LF, without the blank line. False,
  // with ParseError telling why, when the status line is not "RTSP/1.0 <3 digits>[ reason]" with
  // a status from 100 to 999, or a bound above is broken.
  bool Parse(std::string_view head) override;
  // A short English phrase for the log, never quoting the reply; empty after a successful Parse.
  const std::string& ParseError() const { return parseError_; }

  // 0 and empty until a Parse succeeded.
  int32_t StatusCode() const { return statusCode_; }
  const std::string& Reason() const { return reason_; }

  // Every value of a header field that may come more than once (WWW-Authenticate), in order and
  // as received.
  std::vector<std::string> GetAll(std::string_view name) const { return Headers().GetAll(name); }

  // "Session: abc;timeout=60": the name, without blanks around it; empty when there is none.
  std::string SessionName() const;
  // The timeout parameter in seconds; nothing when not given or not a positive number, where the
  // caller keeps to the default of 60 seconds.
  std::optional<int32_t> SessionTimeoutSeconds() const;

 private:
  bool Fail(std::string reason);

  int32_t statusCode_ = 0;
  std::string reason_;
  std::string parseError_;
};
