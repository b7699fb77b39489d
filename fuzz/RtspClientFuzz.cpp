// What a publishing client reads from others: the URL from the settings, and the responses and
// challenges of whatever server it is pointed at.
//
// A URL read must never show its credentials: Display and RequestUri name host, port and path
// only, and RequestUri reads back as the same place without user. A response read has a status
// from 100 to 999 and no control character in what it gives. An answer to any challenge never
// holds a line break or other control character, and reads back as the scheme it was built for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "rtsp/DigestHeader.h"
#include "rtsp/RtspClientAuth.h"
#include "rtsp/RtspReply.h"
#include "rtsp/RtspUrl.h"

using fuzz::Check;

namespace {

constexpr const char* kPassword = "pw-7f3e91c0";

// Tab aside: it may stand in a reason phrase or a quoted value.
bool HasControl(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
  }
  return false;
}

void CheckUrl(std::string_view text) {
  std::string error;
  const std::optional<TRtspUrl> url = ParseRtspUrl(text, error);
  Check(url.has_value() == error.empty(), "a reason without a refusal, or none with one");
  if (!url) return;
  const std::string display = url->Display();
  const std::string uri = url->RequestUri();
  const std::string_view authority = std::string_view(display).substr(0, display.find('/'));
  Check(authority.find('@') == std::string_view::npos, "credentials in Display");
  Check(uri == "rtsp://" + display, "RequestUri is not Display's place");
  Check(url->port >= 1 && !url->host.empty() && url->path.starts_with('/'), "an empty part");
  Check(!HasControl(url->user) && !HasControl(url->password), "a control character read");
  Check(uri.find_first_of(" \t") == std::string::npos && !HasControl(uri), "a blank in the URI");
  std::string again;
  const std::optional<TRtspUrl> reread = ParseRtspUrl(uri, again);
  Check(reread.has_value(), "RequestUri does not read back");
  Check(reread->user.empty() && reread->password.empty(), "RequestUri carries a user");
  Check(reread->host == url->host && reread->port == url->port && reread->path == url->path,
        "RequestUri reads back as another place");
}

void CheckAnswers(const std::vector<std::string>& challenges) {
  for (const char* user : {"nvr", "a\"b\\c"}) {
    TRtspClientAuth auth(user, kPassword, [] { return std::string("0a4f113b"); });
    std::string error;
    const bool taken = auth.TakeChallenge(challenges, error);
    Check(taken == error.empty(), "a reason without a refusal, or none with one");
    Check(error.find(kPassword) == std::string::npos, "the password in the reason");
    for (int request = 0; request < 2; ++request) {
      const std::string answer = auth.Authorization("ANNOUNCE", "rtsp://h:8554/cam");
      Check(taken != answer.empty(), "an answer without a challenge, or none with one");
      Check(!HasControl(answer), "a control character in the Authorization value");
      // A server's over-long nonce makes an answer longer than our own server would read.
      if (!taken || answer.size() > kMaxAuthorizationLength) continue;
      const std::optional<TDigestHeader> header = TDigestHeader::Parse(answer);
      Check(header.has_value(), "the answer does not read back");
      if (header->IsScheme("Digest")) {
        Check(header->Get("username") == user, "another user in the answer");
        Check(header->Get("uri") == "rtsp://h:8554/cam", "another uri in the answer");
      } else {
        Check(header->IsScheme("Basic") && !header->Token().empty(), "neither Digest nor Basic");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  CheckUrl(text);

  TRtspReply reply;
  if (reply.Parse(text)) {
    Check(reply.StatusCode() >= 100 && reply.StatusCode() <= 999, "status out of range");
    Check(reply.ParseError().empty(), "an error after success");
    Check(!HasControl(reply.Reason()) && !HasControl(reply.SessionName()),
          "a control character read");
    if (const auto timeout = reply.SessionTimeoutSeconds())
      Check(*timeout > 0, "timeout not positive");
    Check(reply.GetContentLength() >= 0 && reply.GetContentLength() <= kMaxRtspReplyBodyBytes,
          "a body length out of bounds");
    CheckAnswers(reply.GetAll("WWW-Authenticate"));
  } else {
    Check(!reply.ParseError().empty() && reply.StatusCode() == 0, "a refusal without a reason");
  }

  // Each line as one challenge, as servers send them one field each.
  std::vector<std::string> challenges;
  for (std::size_t start = 0; start <= text.size() && challenges.size() < 8;) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    challenges.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  CheckAnswers(challenges);
  return 0;
}
