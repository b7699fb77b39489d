// One RTSP response. It is only ever built and written, never parsed: the status line, the
// header fields in the order they were first set, and the body lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "RtspMessage.h"
#include "RtspStatus.h"

class TRtspResponse : public TRtspBase {
 public:
  int32_t StatusCode() const { return statusCode_; }
  void SetStatusCode(int32_t code) { statusCode_ = code; }
  // The reason phrase of StatusCode as of the last BuildLines.
  const std::string& StatusText() const { return statusText_; }

  void SetContentType(std::string_view type) { SetHeader(kRtspContentType, type); }

  // The status line ("RTSP/1.0 200 OK"; a code missing from the status table leaves the phrase
  // empty after its space) and the header lines. Sets Content-Length to the body's bytes; the
  // field is left out when there is no body.
  std::vector<std::string> BuildLines() override;

  // The whole response as it goes on the wire: the lines of BuildLines, each ended by CR LF, a
  // blank line, then the body lines, each ended by CR LF.
  std::string BuildMessage();

 private:
  int32_t statusCode_ = kRtspNotFound;
  std::string statusText_;
};
