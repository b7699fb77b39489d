// A bench for the method handlers: fresh channel and session managers on fakes (connection, clock,
// bye poster, logs), handler links pointing at them, and a way to run one request through a
// handler and read back the answer as it went on the wire.
#pragma once

#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/LineLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/FrameHeader.h"
#include "platform/Clock.h"
#include "rtsp/RtspMessageText.h"
#include "rtsp/RtspRequestContext.h"
#include "rtsp/RtspServlets.h"
#include "stream/ByeAction.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"
#include "stream/RtpTransport.h"
#include "tests/support/FakeRtpConnection.h"

namespace servlet_test {

// An answer read back from its bytes.
struct Answer {
  std::string statusLine;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::string> body;

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : headers) names.push_back(name);
    return names;
  }
  std::string Header(std::string_view name) const {
    for (const auto& [n, value] : headers)
      if (n == name) return value;
    return "(absent)";
  }
};

inline Answer ReadAnswer(std::string_view bytes) {
  Answer answer;
  const std::size_t end = bytes.find("\r\n\r\n");
  EXPECT_NE(end, std::string_view::npos) << "no blank line after the head";
  if (end == std::string_view::npos) return answer;
  const std::vector<std::string> head = SplitRtspLines(bytes.substr(0, end));
  if (!head.empty()) answer.statusLine = head.front();
  for (std::size_t i = 1; i < head.size(); ++i) {
    const std::size_t colon = head[i].find(": ");
    answer.headers.emplace_back(head[i].substr(0, colon),
                                colon == std::string::npos ? "" : head[i].substr(colon + 2));
  }
  const std::string_view body = bytes.substr(end + 4);
  if (!body.empty()) {
    EXPECT_TRUE(body.ends_with("\r\n")) << "every body line ends with CR LF";
    std::size_t start = 0;
    for (std::size_t found; (found = body.find("\r\n", start)) != std::string_view::npos;
         start = found + 2) {
      answer.body.emplace_back(body.substr(start, found - start));
    }
  }
  return answer;
}

struct Client {
  std::string address = "192.168.1.20";
  int32_t port = 49152;
  // Null: the bench's own connection for the default client, one of the bench's per client else.
  TRtpConnection* connection = nullptr;
  bool noConnection = false;
};

// An audio frame with the codec and format byte, as the capture would hand it to the channel.
inline void FeedAudioFrame(TLiveChannel& channel, uint8_t codec, uint8_t format = 1) {
  TFrameHeader header = MakeFrameHeader(codec);
  header.AudioFormat = format;
  std::vector<uint8_t> frame(kFrameHeaderSize);
  ASSERT_TRUE(WriteFrameHeader(header, frame));
  channel.DispatchFrame(frame);
}

inline constexpr std::string_view kServerAddress = "192.168.1.10";
inline constexpr int32_t kServerRtpPort = 6554;

struct Bench {
  explicit Bench(int32_t configuredCodec = 4) : channels(configuredCodec) {
    sessionLinks.fps = 8;
    sessionLinks.clock = &clock;
    sessionLinks.byeActionPoster = &byes;
    sessionLinks.log = sessionLog.Sink();
    sessionLinks.requestKeyFrame = [this] { ++keyFrameRequests; };
    sessionLinks.serverRtpPort = [] { return kServerRtpPort; };
    manager = std::make_shared<TLiveSessionManager>(sessionLinks, channels);

    links.sessions = [this] { return manager; };
    links.channel = [this]() -> TLiveChannel* {
      return channelMissing ? nullptr : &channels.GetOrCreateChannel();
    };
    links.fmtpLine = [this] {
      const std::lock_guard guard(fmtpLock);
      return fmtp;
    };
    links.clock = &clock;
    links.log = servletLog.Sink();
    links.sleep = [](std::chrono::milliseconds) { FAIL() << "no wait expected"; };
  }

  // Sends the request text (head only) through the handler and reads back the answer.
  Answer Run(TRtspServlet& servlet, std::string_view request, const Client& client = {}) {
    TRtspConnectionInfo info;
    info.connection = client.noConnection ? nullptr
                      : client.connection ? client.connection
                                          : ConnectionOf(client);
    info.localAddress = std::string(kServerAddress);
    info.peerAddress = client.address;
    info.peerPort = client.port;
    std::string bytes;
    TRtspContext context(
        std::move(info),
        [&bytes](std::string_view written) {
          bytes += written;
          return true;
        },
        clock);
    EXPECT_TRUE(context.ParseRequest(request)) << request;
    servlet.Execute(context);
    EXPECT_TRUE(context.ResponseSent()) << "every request is answered";
    return ReadAnswer(bytes);
  }

  // Every client on a connection of its own, as on the wire.
  FakeRtpConnection* ConnectionOf(const Client& client) {
    const Client standard;
    if (client.address == standard.address && client.port == standard.port) return &connection;
    auto& other = others[client.address + ":" + std::to_string(client.port)];
    if (!other) other = std::make_unique<FakeRtpConnection>();
    return other.get();
  }

  TLiveChannel& Channel() { return channels.GetOrCreateChannel(); }
  void SetFmtp(std::string line) {
    const std::lock_guard guard(fmtpLock);
    fmtp = std::move(line);
  }

  FakeClock clock{{2026, 12, 7, 14, 23, 5, 250}};
  LineLog sessionLog;
  LineLog servletLog;
  ByeCollector byes;
  std::atomic<int> keyFrameRequests{0};
  bool channelMissing = false;
  std::mutex fmtpLock;
  std::string fmtp;
  TSessionLinks sessionLinks;
  TLiveChannelManager channels;
  // After everything the sessions refer to, so the sessions go first.
  FakeRtpConnection connection;
  std::map<std::string, std::unique_ptr<FakeRtpConnection>> others;
  std::shared_ptr<TLiveSessionManager> manager;
  TRtspServletLinks links;
};

// "SETUP <uri> RTSP/1.0" with CSeq and the given further header lines.
inline std::string Request(std::string_view method, std::string_view uri, int cseq,
                           std::string_view headers = {}) {
  std::string text = std::string(method) + " " + std::string(uri) +
                     " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n";
  text += headers;
  return text + "\r\n";
}

}  // namespace servlet_test
