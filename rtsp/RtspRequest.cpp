#include "RtspRequest.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RtspMessageText.h"
#include "RtspStatus.h"

namespace {

}  // namespace

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

  // The end of the body is where the next request starts. With two Content-Length fields either
  // may be the true one, so neither is.
  const std::vector<TRtspHeader>& fields = Headers().Entries();
  const auto lengthFields = std::count_if(fields.begin(), fields.end(), [](const TRtspHeader& h) {
    return EqualsIgnoringAsciiCase(h.name, kRtspContentLength);
  });
  std::optional<int32_t> length = 0;
  if (lengthFields > 0) length = ParseRtspInteger(GetHeader(kRtspContentLength));
  const bool nextUnknown =
      lengthFields > 1 || !length || *length < 0 || *length > kMaxRtspRequestBodyBytes;

  const std::string version = GetToken(StartLine(), ' ', 2);
  if (version != "RTSP/1.0" && version != "HTTP/1.1")
    return Fail(kRtspVersionNotSupported, "bad request line", nextUnknown);
  if (Headers().Count() > kMaxRtspHeaderCount)
    return Fail(kRtspBadRequest, "too many header fields", nextUnknown);
  if (lengthFields > 1) return Fail(kRtspBadRequest, "bad Content-Length: given twice", true);
  if (!length || *length < 0) return Fail(kRtspBadRequest, "bad Content-Length", true);
  if (*length > kMaxRtspRequestBodyBytes) {
    return Fail(kRtspRequestEntityTooLarge,
                "request body over " + std::to_string(kMaxRtspRequestBodyBytes) + " bytes", true);
  }
  // The body's length is known from here on: a refused request leaves the next one readable.
  if (HasRtspControlCharacter(StartLine()))
    return Fail(kRtspBadRequest, "bad request line: control character", false);
  for (const TRtspHeader& field : fields) {
    if (HasRtspControlCharacter(field.name) || HasRtspControlCharacter(field.value))
      return Fail(kRtspBadRequest, "control character in a header field", false);
  }

  method_ = GetToken(StartLine(), ' ', 0);
  uri_ = GetToken(StartLine(), ' ', 1);
  return true;
}
