// Request heads as a client may send them: the request line, the header fields, the values the
// handlers read out of them (CSeq, Content-Length, Session, Transport, the track of the URI), and
// the answer built from what the request carried.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "rtsp/RtspMessageText.h"
#include "rtsp/RtspRequest.h"
#include "rtsp/RtspRequestContext.h"
#include "rtsp/RtspRequestHead.h"
#include "rtsp/RtspResponse.h"
#include "rtsp/RtspServlets.h"
#include "tests/support/FakeClock.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckParsed(const TRtspRequest& request, bool parsed) {
  const int32_t status = request.ParseError().statusCode;
  if (!parsed) {
    Check(status == 400 || status == 413 || status == 505);
    Check(request.Method().empty() && request.Uri().empty());
    return;
  }
  Check(status == 0);
  for (const std::string* word : {&request.Method(), &request.Uri()})
    Check(word->find_first_of(" \r\n") == std::string::npos);
  // Answers echo header values, so nothing accepted holds a control character but tab.
  const auto clean = [](std::string_view text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
      const auto byte = static_cast<unsigned char>(c);
      return (byte < 0x20 && byte != '\t') || byte == 0x7F;
    });
  };
  Check(clean(request.StartLine()));
  for (const TRtspHeader& header : request.Headers().Entries())
    Check(clean(header.name) && clean(header.value));
  Check(request.GetContentLength() >= 0 && request.GetContentLength() <= kMaxRtspRequestBodyBytes);
  Check(request.Headers().Count() <= kMaxRtspHeaderCount);
}

// The way the connection hands lines over: cut at LF, a CR right before it removed.
void FeedLineByLine(std::string_view text) {
  TRtspRequestHead head;
  while (!text.empty() && head.State() == TRtspRequestHead::TState::NeedMore) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    head.AddLine(line);
  }
  Check(head.Text().size() <= kMaxRtspRequestHeadBytes);
  if (head.State() == TRtspRequestHead::TState::Complete) {
    TRtspRequest request;
    CheckParsed(request, request.Parse(head.Text()));
  }
}

// Every field of the request written into a response must read back as it was, one field per
// line, and the body must be exactly as long as announced.
void CheckEcho(const TRtspRequest& request, std::string_view body) {
  TRtspResponse response;
  std::vector<TRtspHeader> expected;
  for (const TRtspHeader& header : request.Headers().Entries()) {
    if (EqualsIgnoringAsciiCase(header.name, kRtspContentLength)) continue;
    response.Headers().Add(header.name, header.value);
    if (!header.name.empty() || !header.value.empty())
      expected.push_back({header.name, " " + header.value});
  }
  response.SetContent(body);
  const std::string message = response.BuildMessage();

  const std::size_t headEnd = message.find("\r\n\r\n");
  Check(headEnd != std::string::npos);
  const std::string_view head = std::string_view(message).substr(0, headEnd + 2);
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\r') Check(i + 1 < head.size() && head[i + 1] == '\n');
    if (head[i] == '\n') Check(i > 0 && head[i - 1] == '\r');
  }
  TRtspResponse readBack;
  Check(readBack.TRtspBase::Parse(head));
  std::vector<TRtspHeader> got;
  for (const TRtspHeader& header : readBack.Headers().Entries())
    if (header.name != kRtspContentLength) got.push_back(header);
  Check(got == expected);

  const std::size_t bodyBytes = message.size() - headEnd - 4;
  Check(bodyBytes == response.ContentByteLength());
  Check(bodyBytes == 0 ? !readBack.Headers().Has(kRtspContentLength)
                       : readBack.GetContentLength() == static_cast<int32_t>(bodyBytes));
}

void Answer(std::string_view text) {
  static const FakeClock clock{{2026, 12, 6, 10, 5, 3, 0}, 0};
  int writes = 0;
  TRtspContext context(
      {nullptr, "127.0.0.1", "127.0.0.1", 1},
      [&writes](std::string_view bytes) {
        ++writes;
        return bytes.starts_with("RTSP/1.0 ") && bytes.ends_with("\r\n\r\n");
      },
      clock);
  if (context.ParseRequest(text)) {
    context.Response().SetHeader("Content-Base", context.Request().Uri() + "/");
    context.SendResponse(200);
  } else {
    context.SendResponse(context.Request().ParseError().statusCode);
  }
  Check(writes == 1);
}

// A second reading of a decimal header value, by the standard library: blanks around it, at most
// one sign, digits only, within 32 bits.
std::optional<int32_t> ReferenceInteger(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (value.starts_with('+')) {
    value.remove_prefix(1);
    if (value.empty() || value.front() == '-') return std::nullopt;
  }
  int32_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size()) return std::nullopt;
  return number;
}

bool IsSpaceOrControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte <= 0x20 || byte == 0x7F;
}

// What the handlers take out of header values: whatever the client wrote, each piece comes out in
// the shape the handler relies on.
void CheckHeaderValue(std::string_view value) {
  Check(ParseRtspInteger(value) == ReferenceInteger(value));

  const std::string session = SessionNameOf(value);
  Check(session.find(';') == std::string::npos);
  Check(session.empty() ||
        (!IsSpaceOrControl(session.front()) && !IsSpaceOrControl(session.back())));

  for (const bool udpEnabled : {false, true}) {
    const std::optional<TTransportChoice> choice = ChooseTransport(value, udpEnabled);
    if (value.find("RTP/AVP/TCP") != std::string_view::npos) {
      Check(choice && choice->Interleaved() && choice->clientPort == -1);
      continue;
    }
    if (!udpEnabled || !choice) {
      Check(!choice);
      continue;
    }
    Check(choice->protocol == "RTP/AVP" || choice->protocol == "RTP/AVP/UDP");
    Check(choice->clientPort >= 1 && choice->clientPort <= 65535);
    Check(choice->clientElement.starts_with("client_port="));
    Check(ParseClientPort(choice->clientElement) == choice->clientPort);
  }

  for (const std::string_view key : {"client_port=", "RTP/AVP", "interleaved=", "mode="}) {
    for (const char separator : {';', ','}) {
      const std::string element = GetTransportParam(value, separator, key);
      Check(element.empty() || element.starts_with(key));
      Check(element.find(separator) == std::string::npos);
    }
  }

  const std::string track = GetTrackName(value);
  Check(track.empty() || track.starts_with("track"));
  for (const char c : track) Check(!(c >= 'A' && c <= 'Z'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TRtspRequest request;
  const bool parsed = request.Parse(text);
  CheckParsed(request, parsed);
  for (const TRtspHeader& header : request.Headers().Entries()) CheckHeaderValue(header.value);
  CheckHeaderValue(request.Uri());
  FeedLineByLine(text);
  CheckEcho(request, text.substr(0, 4096));
  Answer(text);
  return 0;
}
