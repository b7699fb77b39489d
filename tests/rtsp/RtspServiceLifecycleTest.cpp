// Activation, port changes, the end of connections with their sessions, and destruction while
// clients are still connected.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ServiceTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"

namespace service_test {
namespace {

// A port of 127.0.0.1 another program listens on.
class HeldPort {
 public:
  HeldPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd_, 4) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~HeldPort() { ::close(fd_); }
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// SETUP binds the requesting connection to the client's session, PLAY starts it: what the
// program's handlers do for interleaved transport.
ServiceBench::TActions StreamingActions(ServiceBench*& bench) {
  return {
      {"SETUP",
       [&bench](TRtspContext& context) {
         const auto session = bench->sessions->AddSession(context.Requester());
         session->SetConnection(context.Connection());
         context.Response().SetHeader("Session", session->SessionName());
         context.SendResponse(kRtspOk);
       }},
      {"PLAY",
       [&bench](TRtspContext& context) {
         const auto session = bench->sessions->FindSessionByConnection(context.Connection());
         if (session) session->StartStreaming();
         context.SendResponse(session ? kRtspOk : kRtspSessionNotFound);
       }},
  };
}

std::vector<uint8_t> KeyFrame() {
  const std::vector<uint8_t> payload = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0x43};
  TFrameHeader header = MakeFrameHeader(4);
  header.FrameType = kKeyVideoFrameType;
  header.DataLen = static_cast<int32_t>(payload.size());
  std::vector<uint8_t> frame(kFrameHeaderSize + payload.size());
  WriteFrameHeader(header, frame);
  std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
  return frame;
}

// Feeds key frames to every attached session until destroyed.
class FramePump {
 public:
  explicit FramePump(ServiceBench& bench)
      : thread_([this, &bench] {
          const std::vector<uint8_t> frame = KeyFrame();
          TLiveChannel& channel = bench.channels.GetOrCreateChannel();
          while (!stop_.load()) {
            channel.DispatchFrame(frame);
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  ~FramePump() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool SetUpAndPlay(TestClient& client) {
  if (!client.Send(Request("SETUP", 1, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")))
    return false;
  const auto setup = client.ReadResponse();
  if (!setup || setup->status != 200) return false;
  if (!client.Send(Request("PLAY", 2, "Session: " + setup->Header("Session") + "\r\n")))
    return false;
  const auto play = client.ReadResponse();
  return play && play->status == 200;
}

bool ReceivesFrames(TestClient& client) {
  const size_t before = client.FramesSeen();
  return WaitUntil([&] {
    client.ReadResponse(20ms);
    return client.FramesSeen() > before;
  });
}

TEST(RtspServiceLifecycleTest, BadPortsAreLoggedAndALaterGoodPortWorks) {
  HeldPort held;
  ASSERT_NE(held.Port(), 0);
  ServiceBench bench;
  EXPECT_EQ(bench.service->Port(), TRTSPService::kInitialPort);
  for (const int32_t port : {static_cast<int32_t>(held.Port()), 0, 70000, -1}) {
    SCOPED_TRACE(port);
    const size_t failures = bench.log.Count("open service failed, E=");
    bench.service->SetPort(port);
    bench.service->SetActive(true);
    EXPECT_FALSE(bench.service->IsActive());
    EXPECT_EQ(bench.log.Count("open service failed, E="), failures + 1);
  }
  EXPECT_EQ(bench.log.Count("listen "), 0u);

  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);
  EXPECT_EQ(bench.log.Count("listen " + std::to_string(port)), 1u);
  TestClient client(port);
  ASSERT_TRUE(client.Send(Request("OPTIONS", 1)));
  EXPECT_TRUE(client.ReadResponse());
}

TEST(RtspServiceLifecycleTest, PortChangeEndsEveryClientWithItsSessionAndListensAnew) {
  ServiceBench* self = nullptr;
  ServiceBench bench(StreamingActions(self));
  self = &bench;
  const uint16_t oldPort = bench.Start();
  ASSERT_NE(oldPort, 0);
  TestClient first(oldPort);
  TestClient second(oldPort);
  ASSERT_TRUE(SetUpAndPlay(first));
  ASSERT_TRUE(SetUpAndPlay(second));
  ASSERT_EQ(bench.sessions->Sessions().size(), 2u);

  bench.service->SetActive(false);
  // Returned only once every connection thread had ended and removed its session.
  EXPECT_FALSE(bench.service->IsActive());
  EXPECT_EQ(bench.log.Count("disconnect from 127.0.0.1:"), 2u);
  EXPECT_TRUE(bench.sessions->Sessions().empty());
  EXPECT_EQ(bench.log.Count("stop " + std::to_string(oldPort)), 1u);
  EXPECT_EQ(bench.log.Count("service excute failed"), 0u) << "closing them here is no failure";
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(second.WaitClosed());

  const uint16_t newPort = FreeLoopbackPort();
  bench.service->SetPort(newPort);
  bench.service->SetActive(true);
  ASSERT_TRUE(bench.service->IsActive());
  EXPECT_EQ(bench.log.Count("listen " + std::to_string(newPort)), 1u);
  TestClient later(newPort);
  ASSERT_TRUE(later.Send(Request("OPTIONS", 1)));
  EXPECT_TRUE(later.ReadResponse());
  EXPECT_FALSE(TestClient(oldPort).Connected());
}

TEST(RtspServiceLifecycleTest, DroppedConnectionEndsOnlyItsOwnSessionWhileFramesFlow) {
  ServiceBench* self = nullptr;
  ServiceBench bench(StreamingActions(self));
  self = &bench;
  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);
  FramePump pump(bench);
  auto leaving = std::make_unique<TestClient>(port);
  TestClient staying(port);
  ASSERT_TRUE(SetUpAndPlay(*leaving));
  ASSERT_TRUE(SetUpAndPlay(staying));
  ASSERT_TRUE(ReceivesFrames(*leaving));
  ASSERT_TRUE(ReceivesFrames(staying));

  const auto stayingSession = bench.sessions->Sessions().back();
  leaving.reset();
  ASSERT_TRUE(WaitUntil([&] { return bench.sessions->Sessions().size() == 1; }));
  EXPECT_EQ(bench.sessions->Sessions().front(), stayingSession);
  EXPECT_TRUE(WaitUntil([&] { return bench.channels.GetOrCreateChannel().SessionCount() == 1; }));
  EXPECT_TRUE(ReceivesFrames(staying));
  ASSERT_TRUE(staying.Send(Request("OPTIONS", 3)));
  const auto answer = staying.ReadResponse();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->Header("CSeq"), "3");
}

TEST(RtspServiceLifecycleTest, DestructionIsPromptAndOutlivesEveryConnectionThread) {
  std::atomic<bool> servletsDestroyed{false};
  std::atomic<bool> playEntered{false};
  std::atomic<bool> servletsGoneDuringPlay{true};
  std::atomic<int> freedDuringPlay{-1};
  struct DestroyFlag {
    // Spelt out: clang 14 cannot make_shared an aggregate from parentheses.
    explicit DestroyFlag(std::atomic<bool>& destroyed) : flag(destroyed) {}
    ~DestroyFlag() { flag.store(true); }
    std::atomic<bool>& flag;
  };

  ServiceBench* self = nullptr;
  ServiceBench::TActions actions = StreamingActions(self);
  // A handler still at work when destruction begins: it returns once its connection is closed.
  // The flag goes with the handler that holds it.
  actions["PLAY"] =
      [&, flag = std::make_shared<DestroyFlag>(servletsDestroyed)](TRtspContext& context) {
        playEntered.store(true);
        WaitUntil([&] { return !context.Connection()->IsOpen(); });
        servletsGoneDuringPlay.store(servletsDestroyed.load());
        freedDuringPlay.store(self->freeSessionsCalls.load());
      };
  ServiceBench bench(std::move(actions));
  self = &bench;
  const uint16_t port = bench.Start();
  ASSERT_NE(port, 0);

  TestClient silent(port);
  TestClient halfway(port);
  TestClient busy(port);
  ASSERT_TRUE(halfway.Send("OPTIONS rtsp://127.0.0.1/live RTSP/1.0\r\n"));
  ASSERT_TRUE(busy.Send(Request("SETUP", 1)));
  ASSERT_TRUE(busy.ReadResponse());
  ASSERT_TRUE(busy.Send(Request("PLAY", 2)));
  ASSERT_TRUE(WaitUntil([&] { return playEntered.load(); }));
  ASSERT_TRUE(WaitForLine(bench.log, "connected from", 3));
  ASSERT_EQ(bench.sessions->Sessions().size(), 1u);
  const size_t linesBefore = bench.log.Lines().size();

  const auto start = std::chrono::steady_clock::now();
  bench.service.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

  EXPECT_FALSE(servletsGoneDuringPlay.load());
  EXPECT_EQ(freedDuringPlay.load(), 0);
  EXPECT_TRUE(servletsDestroyed.load());
  EXPECT_EQ(bench.freeSessionsCalls.load(), 1);
  EXPECT_EQ(bench.disconnectsBeforeFree.load(), 3u);
  EXPECT_TRUE(bench.sessions->Sessions().empty());

  const auto lines = bench.log.Lines();
  const std::vector<std::string> destroying(lines.begin() + static_cast<long>(linesBefore),
                                            lines.end());
  ASSERT_GE(destroying.size(), 5u);
  EXPECT_EQ(destroying.front(), "RTSPService destroy--->");
  EXPECT_EQ(destroying.back(), "RTSPService destroy<---");
  for (const std::string& line : destroying) {
    EXPECT_FALSE(line.starts_with("service excute failed")) << line;
    EXPECT_FALSE(line.starts_with("stop ")) << line;
  }
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(halfway.WaitClosed());
  // The interrupted PLAY is not answered: the service was going.
  EXPECT_FALSE(busy.ReadResponse(100ms));
}

}  // namespace
}  // namespace service_test
