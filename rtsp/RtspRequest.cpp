#include "RtspRequest.h"

#include <optional>
#include <utility>

#include "RtspMessageText.h"
#include "RtspStatus.h"

bool TRtspRequest::Fail(int32_t statusCode, std::string reason, bool closeConnection) {
  parseError_ = {statusCode, std::move(reason), closeConnection};
  return false;
}

bool TRtspRequest::Parse(std::string_view text) {
  method_.clear();
  uri_.clear();
  parseError_ = {};
  if (text.size() > kMaxRtspRequestHeadBytes) {
    Headers().Clear();
    return Fail(kRtspBadRequest, "request head too large", true);
  }
  if (!TRtspBase::Parse(text)) return Fail(kRtspVersionNotSupported, "empty request", false);

  // A body this request does not get to consume would be read as the next request.
  const std::optional<int32_t> length = Headers().Has(kRtspContentLength)
                                            ? ParseRtspInteger(GetHeader(kRtspContentLength))
                                            : std::optional<int32_t>(0);
  const bool bodyLeftOver = length != 0;

  const std::string version = GetToken(StartLine(), ' ', 2);
  if (version != "RTSP/1.0" && version != "HTTP/1.1")
    return Fail(kRtspVersionNotSupported, "bad request line", bodyLeftOver);
  if (Headers().Count() > kMaxRtspHeaderCount)
    return Fail(kRtspBadRequest, "too many header fields", bodyLeftOver);
  if (bodyLeftOver) {
    if (!length || *length < 0) return Fail(kRtspBadRequest, "bad Content-Length", true);
    if (*length > kMaxRtspRequestBodyBytes)
      return Fail(kRtspRequestEntityTooLarge, "request body too large", true);
  }

  method_ = GetToken(StartLine(), ' ', 0);
  uri_ = GetToken(StartLine(), ' ', 1);
  return true;
}
