#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "tests/stream/SessionTestSupport.h"
#include "ServletTestSupport.h"

namespace {

using namespace servlet_test;

// Pieces clients send, glued at random: whatever comes out, every request gets one answer with a
// status the handlers use and its own CSeq, and nothing crashes (the sanitizer builds watch).
TEST(RtspServletInput, AnyHeaderOrUriValueGetsAnOrdinaryAnswer) {
  Bench bench;
  bench.links.udpEnabled = true;
  bench.links.audioEnabled = true;
  bench.SetFmtp("a=fmtp:96 packetization-mode=1");
  const auto servlets = MakeRtspServlets(bench.links);
  // A session of the client's own that the requests name; made again whenever one is torn down.
  const auto knownName = [&bench] {
    const auto sessions = bench.manager->Sessions();
    return sessions.empty()
               ? UdpSession(*bench.manager, "192.168.1.20", 1, bench.connection.Id())->SessionName()
               : sessions.front()->SessionName();
  };
  std::string known = knownName();

  const std::vector<std::string> pieces = {
      "RTP/AVP", "RTP/AVP/TCP", "RTP/AVP/UDP", "/TCP",         ";",
      ",",       "=",           "-",           "client_port=", "interleaved=",
      "unicast", "multicast",   "timeout=",    "npt=",         "0",
      "5000",    "65535",       "65536",       "-1",           "99999999999",
      " ",       "\t",          "\x80",        "\xfe",         "\xff",
      "track",   "/track2",     "/",           "rtsp://",      "%00",
      "*",       "\xc3\xa9"};
  std::mt19937 random(20261207);
  const auto text = [&](bool spaces) {
    std::string value;
    const auto count = std::uniform_int_distribution<std::size_t>(0, 8)(random);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& piece =
          pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
      if (!spaces && (piece == " " || piece == "\t")) continue;
      value += piece;
    }
    return value;
  };

  const std::array<int, 6> statuses = {200, 404, 453, 454, 461, 500};
  for (int cseq = 1; cseq <= 400; ++cseq) {
    TRtspServlet& servlet = *servlets[static_cast<std::size_t>(cseq) % servlets.size()];
    const std::string uri = text(false);
    const std::string request =
        servlet.GetName() + " " + (uri.empty() ? "x" : uri) +
        " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\nTransport: " + text(true) +
        "\r\nSession: " + (cseq % 3 == 0 ? text(true) : known + text(true)) +
        "\r\nRange: " + text(true) + "\r\n\r\n";
    const Answer answer = bench.Run(servlet, request);
    const int status = std::stoi(answer.statusLine.substr(9, 3));
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), status), statuses.end())
        << answer.statusLine << " for " << request;
    EXPECT_EQ(answer.Header("CSeq"), std::to_string(cseq));
    known = knownName();
  }
}

}  // namespace
