// Whatever a media server sends back to the publisher: the bytes arrive on a real connection to the
// client connection's reading thread while the publisher asks for an answer, then the server's side
// closes. Interleaved frames, answers to other requests, requests of the server's own, broken and
// oversized heads all come from the input; "@U" in it stands for the URI the publisher asked for.
//
// The publisher must get the answer to its own request or none, never one to another CSeq; an
// answer it gets has a status from 100 to 999; and the connection must end once the input has.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "platform/TcpConnection.h"
#include "rtsp/RtspClientConnection.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return 0;
  const std::string uri = "rtsp://relay:8554/cam";
  std::string input(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = input.find("@U"); at != std::string::npos; at = input.find("@U", at)) {
    input.replace(at, 2, uri);
    at += uri.size();
  }
  const bool challenged = input.find("WWW-Authenticate") != std::string::npos;
  {
    std::optional<TRtspClientAuth> auth;
    if (challenged) auth.emplace("pub", "secret", [] { return std::string("0a4f113b"); });
    TRtspClientConnection client(std::make_unique<platform::TTcpConnection>(ends[0]),
                                 std::move(auth), "fuzz");
    // The whole input is there before the request goes out, and then the server's side ends.
    for (std::size_t sent = 0; sent < input.size();) {
      const ssize_t n = ::send(ends[1], input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(ends[1], SHUT_WR);
    TRtspExchangeEnd end = TRtspExchangeEnd::Answered;
    const std::optional<TRtspReply> reply =
        client.Exchange({"OPTIONS", uri, {}, {}, {}}, std::chrono::seconds(5), end);
    Check(reply.has_value() == (end == TRtspExchangeEnd::Answered), "an answer and an end at once");
    Check(end != TRtspExchangeEnd::TimedOut, "the answer was waited for past the input's end");
    if (reply) {
      Check(reply->StatusCode() >= 100 && reply->StatusCode() <= 999, "a status out of range");
      Check(reply->GetCSeq() >= 1 && reply->GetCSeq() <= 3, "the answer to another request");
    }
    Check(!client.WaitWhileOpen(std::chrono::seconds(5)), "the connection outlived its input");
  }
  ::close(ends[1]);
  return 0;
}
