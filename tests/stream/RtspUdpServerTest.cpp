#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/ServiceLog.h"
#include "platform/UdpSocket.h"
#include "stream/RtspUdpServer.h"
#include "tests/support/FreeLoopbackPort.h"

namespace {

using namespace std::chrono_literals;
using platform::TUdpSocket;
using testing::HasSubstr;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint16_t Port(int port) {
  return static_cast<std::uint16_t>(port);
}

// Records "address:port" of each call, as datagram listener or as a socket's handler.
class TRecorder {
 public:
  void Add(const std::string& address, int port) {
    std::lock_guard lock(lock_);
    calls_.push_back(address + ":" + std::to_string(port));
    changed_.notify_all();
  }
  TDatagramListener Listener() {
    return [this](const std::string& address, int port) { Add(address, port); };
  }
  platform::TDatagramHandler Handler() {
    return [this](std::span<const std::uint8_t>, const std::string& address, std::uint16_t port) {
      Add(address, port);
    };
  }
  // Waits until count calls came or the time-out passed; returns all so far.
  std::vector<std::string> WaitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, timeout, [&] { return calls_.size() >= count; });
    return calls_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
};

// Empties the process-wide listener slot when a test ends, also when it ends early.
struct TSlotGuard {
  ~TSlotGuard() { TRTSPUDPServer::SetDatagramListener(nullptr); }
};

std::string ProcessLogText() {
  std::ostringstream text;
  text << std::ifstream(GetServiceLog().LogPath(), std::ios::binary).rdbuf();
  return text.str();
}

TEST(RtspUdpServer, DatagramsToEitherSocketTouchTheClientRtpPort) {
  TRecorder recorder;
  const TSlotGuard slotGuard;
  TRTSPUDPServer::SetDatagramListener(recorder.Listener());
  TRTSPUDPServer server(FreeUdpPortPair());
  ASSERT_TRUE(server.Activate());
  const int q = FreeUdpPortPair();
  TUdpSocket clientRtp(Port(q), nullptr);
  TUdpSocket clientRtcp(Port(q + 1), nullptr);
  ASSERT_TRUE(clientRtp.Open() && clientRtcp.Open());

  struct TCase {
    TUdpSocket& from;
    int to;
    int touched;
  };
  const TCase cases[] = {
      {clientRtp, server.RtpPort(), q},
      {clientRtcp, server.RtcpPort(), q},  // an RTCP receiver report
      // Only the RTCP socket takes the port before the sender's as the session's.
      {clientRtcp, server.RtpPort(), q + 1},
      {clientRtp, server.RtcpPort(), q - 1},
  };
  std::vector<std::string> expected;
  for (const TCase& c : cases) {
    ASSERT_TRUE(c.from.SendTo("127.0.0.1", Port(c.to), Bytes("\x81\xc9")));
    expected.push_back("127.0.0.1:" + std::to_string(c.touched));
    EXPECT_EQ(recorder.WaitFor(expected.size()), expected);
  }
}

TEST(RtspUdpServer, SendsFromTheRtpSocketOnceActivatedWhileReceiving) {
  TRecorder touched;
  const TSlotGuard slotGuard;
  TRTSPUDPServer::SetDatagramListener(touched.Listener());
  TRTSPUDPServer server(FreeUdpPortPair());
  TRecorder client;
  TUdpSocket clientSocket(0, client.Handler());
  ASSERT_TRUE(clientSocket.Open());
  EXPECT_FALSE(server.SendDatagram("127.0.0.1", clientSocket.Port(), Bytes("early")));
  ASSERT_TRUE(server.Activate());

  // Senders of several sessions share the socket while the client's datagrams come in.
  constexpr int kSenders = 3;
  constexpr int kPackets = 20;
  std::atomic<int> failed{0};
  {
    std::vector<std::jthread> senders;
    for (int sender = 0; sender < kSenders; ++sender) {
      senders.emplace_back([&] {
        for (int index = 0; index < kPackets; ++index) {
          failed += !server.SendDatagram("127.0.0.1", clientSocket.Port(), Bytes("rtp"));
        }
      });
    }
    for (int index = 0; index < kPackets; ++index) {
      clientSocket.SendTo("127.0.0.1", Port(server.RtpPort()), Bytes("ping"));
    }
  }
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(touched.WaitFor(kPackets).size(), std::size_t{kPackets});
  // Clients match the packets to the server port that SETUP announced.
  EXPECT_EQ(client.WaitFor(kSenders * kPackets),
            std::vector<std::string>(kSenders * kPackets,
                                     "127.0.0.1:" + std::to_string(server.RtpPort())));
}

TEST(RtspUdpServer, SendsRtcpFromTheRtcpSocketOnTheBindAddress) {
  TRecorder client;
  TUdpSocket clientSocket(0, client.Handler());
  ASSERT_TRUE(clientSocket.Open());
  TRTSPUDPServer server(FreeUdpPortPair(), "127.0.0.1");
  ASSERT_TRUE(server.Activate());
  for (const char* packet : {"\x80\xe0", "\x80\xc8", "\x81\xcb"}) {  // RTP, report, goodbye
    ASSERT_TRUE(server.SendDatagram("127.0.0.1", clientSocket.Port(), Bytes(packet)));
  }
  const std::string rtp = "127.0.0.1:" + std::to_string(server.RtpPort()),
                    rtcp = "127.0.0.1:" + std::to_string(server.RtcpPort());
  EXPECT_EQ(client.WaitFor(3), (std::vector<std::string>{rtp, rtcp, rtcp}));
  EXPECT_FALSE(TRTSPUDPServer(FreeUdpPortPair(), "192.0.2.1").Activate()) << "not this machine's";
}

TEST(RtspUdpServer, ActivatesOnceAndLogsWhatFailed) {
  GetServiceLog().StartLog();
  const int port = FreeUdpPortPair();
  std::optional<TUdpSocket> squatter(std::in_place, Port(port + 1), nullptr);
  ASSERT_TRUE(squatter->Open());
  std::optional<TRTSPUDPServer> server(std::in_place, port);
  EXPECT_FALSE(server->Activate());
  squatter.reset();
  EXPECT_FALSE(server->Activate()) << "a second activation tried again";
  EXPECT_TRUE(TUdpSocket(Port(port + 1), nullptr).Open());
  // The RTP socket that did open works.
  TUdpSocket client(0, nullptr);
  ASSERT_TRUE(client.Open());
  EXPECT_TRUE(server->SendDatagram("127.0.0.1", client.Port(), Bytes("x")));

  const std::string log = ProcessLogText();
  const std::string created = "@local:server port=" + std::to_string(port) +
                              ", rtcp port=" + std::to_string(port + 1) + "\r\n";
  ASSERT_THAT(log, HasSubstr(created));
  EXPECT_THAT(log.substr(log.rfind(created)),
              HasSubstr("@local:rtcp socket open failed, e=bind UDP port " +
                        std::to_string(port + 1) + ": Address already in use\r\n"));
  server.reset();
  EXPECT_TRUE(TUdpSocket(Port(port), nullptr).Open()) << "destruction left the port bound";
}

TEST(RtspUdpServer, ListenerSlotOutlivesServersAndListenerFailures) {
  GetServiceLog().StartLog();
  TRecorder recorder;
  const TSlotGuard slotGuard;
  std::atomic<int> calls{0};
  TRTSPUDPServer::SetDatagramListener([&](const std::string& address, int port) {
    if (++calls == 1) throw std::runtime_error("listener broke on " + std::to_string(port));
    recorder.Add(address, port);
  });
  TUdpSocket client(0, nullptr);
  ASSERT_TRUE(client.Open());
  const std::string touch = "127.0.0.1:" + std::to_string(client.Port());
  for (int server = 0; server < 2; ++server) {
    TRTSPUDPServer current(FreeUdpPortPair());
    ASSERT_TRUE(current.Activate());
    client.SendTo("127.0.0.1", Port(current.RtpPort()), Bytes("report"));
    if (server == 0) client.SendTo("127.0.0.1", Port(current.RtpPort()), Bytes("report"));
    EXPECT_EQ(recorder.WaitFor(static_cast<std::size_t>(server) + 1).size(),
              static_cast<std::size_t>(server) + 1);
  }
  EXPECT_EQ(recorder.WaitFor(2), (std::vector<std::string>{touch, touch}));
  EXPECT_THAT(ProcessLogText(), HasSubstr("@local:rtcp server read failed, e=listener broke on " +
                                          std::to_string(client.Port()) + "\r\n"));

  // An empty slot ignores datagrams.
  TRTSPUDPServer::SetDatagramListener(nullptr);
  TRTSPUDPServer last(FreeUdpPortPair());
  ASSERT_TRUE(last.Activate());
  client.SendTo("127.0.0.1", Port(last.RtpPort()), Bytes("report"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls.load(), 3);
}

TEST(RtspUdpServer, EmptyingTheSlotWaitsForARunningListener) {
  TRecorder entered;
  std::atomic<bool> finished{false};
  const TSlotGuard slotGuard;
  TRTSPUDPServer::SetDatagramListener([&](const std::string& address, int port) {
    entered.Add(address, port);
    std::this_thread::sleep_for(200ms);
    finished = true;
  });
  TRTSPUDPServer server(FreeUdpPortPair());
  ASSERT_TRUE(server.Activate());
  TUdpSocket client(0, nullptr);
  ASSERT_TRUE(client.Open());
  client.SendTo("127.0.0.1", Port(server.RtpPort()), Bytes("x"));
  ASSERT_EQ(entered.WaitFor(1).size(), 1u);
  // Once the slot is empty, the old listener's owner may go away.
  TRTSPUDPServer::SetDatagramListener(nullptr);
  EXPECT_TRUE(finished);
}

}  // namespace
