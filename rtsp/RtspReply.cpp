#include "RtspReply.h"

#include <algorithm>
#include <utility>

#include "RtspMessageText.h"

namespace {

constexpr std::string_view kVersion = "RTSP/1.0";
constexpr std::string_view kSession = "Session";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool TRtspReply::Fail(std::string reason) {
  statusCode_ = 0;
  reason_.clear();
  parseError_ = std::move(reason);
  return false;
}

bool TRtspReply::Parse(std::string_view head) {
  if (head.size() > kMaxRtspReplyHeadBytes) {
    Headers().Clear();
    return Fail("response head too large");
  }
  if (!TRtspBase::Parse(head)) return Fail("empty response");
  if (Headers().Count() > kMaxRtspReplyHeaderCount) return Fail("too many header fields");

  // "RTSP/1.0 200 OK": the version, one space, three digits, then the end or a space and the
  // reason, which may be empty.
  const std::string_view line = StartLine();
  if (HasRtspControlCharacter(line)) return Fail("control character in the status line");
  if (!line.starts_with(kVersion) || line.size() < kVersion.size() + 4 ||
      line[kVersion.size()] != ' ') {
    return Fail("not an RTSP/1.0 status line");
  }
  const std::string_view code = line.substr(kVersion.size() + 1, 3);
  const std::string_view after = line.substr(kVersion.size() + 4);
  if (!std::all_of(code.begin(), code.end(), IsDigit) || code[0] == '0' ||
      (!after.empty() && after[0] != ' ')) {
    return Fail("bad status code");
  }

  const std::vector<TRtspHeader>& fields = Headers().Entries();
  for (const TRtspHeader& field : fields) {
    if (HasRtspControlCharacter(field.name) || HasRtspControlCharacter(field.value))
      return Fail("control character in a header field");
  }
  // The next response starts where the body ends; with two lengths either may be the true one.
  const auto lengthFields = std::count_if(fields.begin(), fields.end(), [](const TRtspHeader& h) {
    return EqualsIgnoringAsciiCase(h.name, kRtspContentLength);
  });
  if (lengthFields > 1) return Fail("bad Content-Length: given twice");
  if (lengthFields == 1) {
    const std::optional<int32_t> length = ParseRtspInteger(GetHeader(kRtspContentLength));
    if (!length || *length < 0) return Fail("bad Content-Length");
    if (*length > kMaxRtspReplyBodyBytes)
      return Fail("response body over " + std::to_string(kMaxRtspReplyBodyBytes) + " bytes");
  }

  statusCode_ = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  reason_ = std::string(after.empty() ? after : after.substr(1));
  parseError_.clear();
  return true;
}

std::string TRtspReply::SessionName() const {
  const std::string value = GetHeader(kSession);
  return std::string(TrimBlanks(std::string_view(value).substr(0, value.find(';'))));
}

std::optional<int32_t> TRtspReply::SessionTimeoutSeconds() const {
  const std::string value = GetHeader(kSession);
  for (std::size_t start = value.find(';'); start != std::string::npos;) {
    const std::size_t end = value.find(';', start + 1);
    const std::string_view parameter =
        std::string_view(value).substr(start + 1, end == std::string::npos ? end : end - start - 1);
    start = end;
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos ||
        !EqualsIgnoringAsciiCase(TrimBlanks(parameter.substr(0, equals)), "timeout")) {
      continue;
    }
    const std::optional<int32_t> seconds = ParseRtspInteger(parameter.substr(equals + 1));
    if (!seconds || *seconds <= 0) return std::nullopt;
    return seconds;
  }
  return std::nullopt;
}
