#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "SessionTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"
#include "stream/LiveSession.h"

namespace {

TFramePackage* VideoPackage(uint8_t frameType,
                            std::vector<uint8_t> bytes = {0, 0, 0, 1, 0x65, 1, 2, 3}) {
  TFramePackage* p = TFramePackage::Create(bytes);
  p->Track = 1;
  p->Codec = 4;
  p->FrameType = frameType;
  return p;
}

class SessionManagerTest : public ::testing::Test {
 protected:
  FakeLinks fake_;
  TLiveChannelManager channels_{4};
  TLiveSessionManager manager_{fake_.links, channels_};
};

TEST_F(SessionManagerTest, NamesAreRandomAndOnlyTheOwnerOrItsReturningClientMayClaimOne) {
  const auto first = manager_.AddSession({"10.0.0.5", 1, "ann"});
  const auto second = manager_.AddSession({"10.0.0.5", 2, "ann"});
  const std::string name = first->SessionName();
  EXPECT_EQ(name.size(), 32u);
  EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF"), std::string::npos) << name;
  EXPECT_NE(second->SessionName(), name);
  EXPECT_EQ(manager_.FindSessionByName(""), nullptr);
  EXPECT_EQ(manager_.FindSessionByName(name + " "), nullptr) << "names match exactly";
  EXPECT_EQ(channels_.GetOrCreateChannel().SessionCount(), 2u);

  struct Case {
    TSessionOwner requester;
    bool ownerGone;
    bool claimed;
  };
  const Case cases[] = {
      {{"10.0.0.5", 1, "ann"}, false, true},   // its own connection
      {{"10.0.0.5", 2, "ann"}, false, false},  // same address, owner still connected
      {{"10.0.0.6", 3, "ann"}, true, false},   // another address
      {{"10.0.0.5", 3, "bob"}, true, false},   // another user
      {{"10.0.0.5", 3, "ann"}, true, true},    // the client back on a new connection
      {{"10.0.0.5", 1, "ann"}, false, false},  // the old connection lost it to the new one
  };
  for (const Case& c : cases) {
    if (c.ownerGone) first->OwnerConnectionGone(first->OwnerConnectionId());
    EXPECT_EQ(manager_.ClaimSession(name, c.requester) == first, c.claimed)
        << c.requester.address << " #" << c.requester.connectionId << " " << c.requester.user;
  }
}

TEST_F(SessionManagerTest, SessionsAreBoundedPerConnectionAndInAll) {
  TLiveSessionManager manager(fake_.links, channels_, {.perConnection = 2, .total = 3});
  TSessionRefusal refusal = TSessionRefusal::None;
  EXPECT_NE(manager.AddSession({"10.0.0.5", 1, {}}), nullptr);
  EXPECT_NE(manager.AddSession({"10.0.0.5", 1, {}}), nullptr);
  EXPECT_EQ(manager.AddSession({"10.0.0.5", 1, {}}, &refusal), nullptr);
  EXPECT_EQ(refusal, TSessionRefusal::ConnectionFull);
  const auto third = manager.AddSession({"10.0.0.5", 2, {}}, &refusal);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(manager.AddSession({"10.0.0.6", 3, {}}, &refusal), nullptr);
  EXPECT_EQ(refusal, TSessionRefusal::ServerFull);
  // Coming back for a session whose connection has gone counts as setting one up.
  third->OwnerConnectionGone(2);
  EXPECT_EQ(manager.ClaimSession(third->SessionName(), {"10.0.0.5", 1, {}}), nullptr);
  EXPECT_EQ(manager.ClaimSession(third->SessionName(), {"10.0.0.5", 4, {}}), third);
  EXPECT_EQ(manager.Sessions().size(), 3u);
  EXPECT_EQ(fake_.log.Count("session refused for"), 1u) << "at most one line a second";
  fake_.clock.tick += 1000;
  manager.AddSession({"10.0.0.6", 3, {}});
  EXPECT_NE(fake_.log.Lines().back().find("(2 refused since the last report)"), std::string::npos);
}

TEST_F(SessionManagerTest, ClosingAConnectionEndsExactlyTheSessionsBoundToIt) {
  FakeRtpConnection lost, kept;
  const auto bound = manager_.AddSession({"10.0.0.5", lost.Id(), {}});
  bound->SetConnection(&lost);
  const auto udp = UdpSession(manager_, "10.0.0.5", lost.Id() % 65536, lost.Id());
  const auto other = manager_.AddSession({"10.0.0.5", kept.Id(), {}});
  other->SetConnection(&kept);
  EXPECT_TRUE(manager_.HasSessionsOf(lost.Id()));
  EXPECT_EQ(manager_.ConnectionClosed(lost.Id()), 1u);
  EXPECT_EQ(manager_.Sessions(), (std::vector<std::shared_ptr<TBaseSession>>{udp, other}));
  EXPECT_EQ(udp->OwnerConnectionId(), 0u) << "waits for its client to come back";
  EXPECT_FALSE(manager_.HasSessionsOf(lost.Id()));
}

// A bye action or the sweep may be removing a session while its connection's thread closes the
// connection; the connection goes once that returns, so it must wait for the sender still writing.
TEST_F(SessionManagerTest, ClosingAConnectionWaitsForASessionAnotherThreadIsRemoving) {
  FakeRtpConnection connection;
  const auto session = manager_.AddSession({"10.0.0.5", connection.Id(), {}});
  session->SetConnection(&connection);
  ASSERT_TRUE(session->StartStreaming());
  std::unique_lock writeHeld(connection.mutex);
  TFramePackage* key = VideoPackage(kKeyVideoFrameType);
  session->DeliverPackage(key);
  key->Release();
  ASSERT_TRUE(WaitUntil([&] { return session->VideoSender().QueuedPackages() == 0; }));
  std::thread bye([&] { manager_.RemoveSessionsBoundTo(connection.Id()); });
  EXPECT_TRUE(WaitUntil([&] { return !manager_.HasSessions(); }));
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    manager_.ConnectionClosed(connection.Id());
    closed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(closed) << "returned while the sender still writes to the connection";
  writeHeld.unlock();
  bye.join();
  closer.join();
}

TEST_F(SessionManagerTest, ClientPortMinusOneIsIgnoredWithoutALogLine) {
  const auto session = UdpSession(manager_, "10.0.0.5", 5000);
  const size_t before = fake_.log.Lines().size();
  session->SetClientPort(-1);
  EXPECT_EQ(session->ClientPort(), 5000);
  EXPECT_EQ(fake_.log.Lines().size(), before);
  session->SetClientPort(6970);
  EXPECT_EQ(session->ClientPort(), 6970);
  EXPECT_EQ(fake_.log.Lines().back(), "set port to 6970");
  EXPECT_EQ(session->VideoSender().DestPort(), 6970);
  EXPECT_EQ(manager_.FindSession("10.0.0.5", 6970), session);
}

TEST_F(SessionManagerTest, SessionsExpireWhenSilentOverUdpOrNeverPlayedAcrossTheTickWrap) {
  struct Case {
    uint32_t created;
    uint32_t silentFor;
    bool played;
    bool expired;
  };
  const Case cases[] = {{5000, 11999, true, false},
                        {5000, 12000, true, true},
                        {0xFFFFF000u, 11999, true, false},  // the tick wraps to 0 meanwhile
                        {0xFFFFF000u, 12000, true, true},
                        {5000, 59999, false, false},
                        {0xFFFFF000u, 60000, false, true}};
  int port = 7000;
  for (const Case& c : cases) {
    fake_.clock.tick = c.created;
    const auto session = UdpSession(manager_, "10.0.0.9", port++);
    if (c.played) {
      ASSERT_TRUE(session->StartStreaming());
    }
    fake_.clock.tick = c.created + c.silentFor;
    EXPECT_EQ(session->IsExpired(), c.expired) << c.created << " + " << c.silentFor;
    session->Touch();
    EXPECT_EQ(session->IsExpired(), c.expired && !c.played)
        << "a datagram keeps a playing session alive, not one never played";
    manager_.RemoveSession(session);
  }
}

TEST_F(SessionManagerTest, OwnSweepLetsSilentSessionsGoWithoutAnyFrame) {
  const auto silent = UdpSession(manager_, "127.0.0.1", 5000);
  const auto alive = UdpSession(manager_, "127.0.0.1", 5002);
  ASSERT_TRUE(silent->StartStreaming() && alive->StartStreaming());
  manager_.StartSweeping(std::chrono::milliseconds(1));
  manager_.StartSweeping(std::chrono::milliseconds(1));  // one sweep thread only
  fake_.clock.tick += TBaseSession::kSessionTimeoutMs - 1;
  alive->Touch();
  fake_.clock.tick += 1;
  EXPECT_TRUE(WaitUntil([&] { return manager_.FindSession("127.0.0.1", 5000) == nullptr; }));
  manager_.StopSweeping();
  EXPECT_EQ(manager_.Sessions(), std::vector<std::shared_ptr<TBaseSession>>{alive});
  EXPECT_EQ(channels_.GetOrCreateChannel().SessionCount(), 1u) << "left the channel too";
}

TEST_F(SessionManagerTest, TouchEndpointKeepsTheMatchingSessionAlive) {
  const auto a = UdpSession(manager_, "127.0.0.1", 5000);
  const auto b = UdpSession(manager_, "127.0.0.1", 5002);
  ASSERT_TRUE(a->StartStreaming() && b->StartStreaming());
  fake_.clock.tick += 11000;
  manager_.TouchEndpoint("127.0.0.1", 5000);
  manager_.TouchEndpoint("127.0.0.1", 5001);  // nobody's port
  fake_.clock.tick += 2000;
  EXPECT_FALSE(a->IsExpired());
  EXPECT_TRUE(b->IsExpired());
}

TEST_F(SessionManagerTest, ConnectionBoundSessionsEndOnlyWhenTheConnectionIsLost) {
  FakeRtpConnection connection;
  const auto session = UdpSession(manager_, "10.0.0.5", 5000);
  session->SetConnection(&connection);
  EXPECT_EQ(manager_.FindSessionByConnection(&connection), session);
  EXPECT_EQ(manager_.FindSessionByConnection(nullptr), nullptr);
  ASSERT_TRUE(session->StartStreaming());
  fake_.clock.tick += 10 * TBaseSession::kUnplayedTimeoutMs;
  EXPECT_FALSE(session->IsExpired());

  connection.Drop();
  EXPECT_TRUE(session->IsExpired()) << "the video sender failed with the connection";
  ASSERT_EQ(fake_.byes.posted.size(), 1u);
  EXPECT_EQ(fake_.byes.posted[0].address, "10.0.0.5");
  EXPECT_EQ(fake_.byes.posted[0].port, 5000);
  EXPECT_EQ(fake_.byes.posted[0].connectionId, connection.Id());
  session->StopStreaming();
}

TEST_F(SessionManagerTest, DeliveryFollowsPlayingAndTrack) {
  FakeRtpConnection connection;
  const auto session = UdpSession(manager_, "10.0.0.5", 5000);
  session->SetConnection(&connection);
  TFramePackage* key = VideoPackage(kKeyVideoFrameType);
  session->DeliverPackage(key);
  EXPECT_EQ(key->ReferenceCount(), 1) << "not playing: ignored";
  EXPECT_FALSE(manager_.HasPlayingSessions()) << "set up only: nothing to capture for";

  ASSERT_TRUE(session->StartStreaming());
  EXPECT_TRUE(manager_.HasPlayingSessions());
  EXPECT_EQ(fake_.keyFrameRequests, 1) << "a starting session asks for a key frame";
  TFramePackage* audio = VideoPackage(kAudioFrameType);
  session->DeliverPackage(audio);
  EXPECT_EQ(audio->ReferenceCount(), 1) << "no audio track: ignored";
  audio->Release();

  session->DeliverPackage(key);
  key->Release();
  for (int i = 0; i < 200 && connection.WriteCount() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_GT(connection.WriteCount(), 0u);
  {
    const std::lock_guard guard(connection.mutex);
    ASSERT_GE(connection.written.size(), 4u);
    EXPECT_EQ(connection.written[0], '$');
    EXPECT_EQ(connection.written[1], 0);
  }
  // Stopped while its connection is still there: stopping says goodbye on it.
  manager_.RemoveSession(session);
}

TEST_F(SessionManagerTest, RemovalStopsTheSessionAndLogsItsEndOnce) {
  auto session = UdpSession(manager_, "10.0.0.5", 5000);
  const std::string name = session->SessionName();
  ASSERT_TRUE(session->StartStreaming());
  manager_.RemoveSession(session);
  EXPECT_FALSE(session->Playing()) << "stopped at removal, though still held here";
  EXPECT_FALSE(manager_.HasSessions());
  EXPECT_EQ(channels_.GetOrCreateChannel().SessionCount(), 0u);
  manager_.RemoveSession(session);  // no longer registered: left alone

  // Logged at removal, while this test still holds the session, and not again when it goes.
  const std::vector<std::string> lines = fake_.log.Lines();
  const std::vector<std::string> tail(lines.end() - 5, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"TLiveSession destroy-->", "stop", "free sender",
                                            "free buffer", "free session " + name}));
  session.reset();
  EXPECT_EQ(fake_.log.Lines(), lines);
}

TEST_F(SessionManagerTest, DestroyingTheManagerDetachesEverySession) {
  TLiveChannelManager channels(4);
  std::shared_ptr<TBaseSession> kept;
  {
    TLiveSessionManager manager(fake_.links, channels);
    kept = UdpSession(manager, "10.0.0.5", 5000);
    UdpSession(manager, "10.0.0.6", 5000);
    EXPECT_EQ(channels.GetOrCreateChannel().SessionCount(), 2u);
  }
  EXPECT_EQ(channels.GetOrCreateChannel().SessionCount(), 0u);
  EXPECT_FALSE(kept->Playing());
}

}  // namespace
