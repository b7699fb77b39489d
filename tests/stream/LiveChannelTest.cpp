#include <gtest/gtest.h>

#include <vector>

#include "SessionTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"
#include "stream/LiveSession.h"

namespace {

std::vector<uint8_t> Frame(uint8_t codec, uint8_t audioFormat, uint8_t frameType,
                           std::vector<uint8_t> payload = {0, 0, 0, 1, 0x65, 9, 9}) {
  TFrameHeader header = MakeFrameHeader(codec);
  header.AudioFormat = audioFormat;
  header.FrameType = frameType;
  header.DataLen = static_cast<int32_t>(payload.size());
  std::vector<uint8_t> frame(kFrameHeaderSize + payload.size());
  WriteFrameHeader(header, frame);
  std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
  return frame;
}

class LiveChannelTest : public ::testing::Test {
 protected:
  FakeLinks fake_;
  TLiveChannelManager channels_{4};
  TLiveSessionManager manager_{fake_.links, channels_};
  TLiveChannel& channel_ = channels_.GetOrCreateChannel();
};

TEST_F(LiveChannelTest, LearnsCodecsFromFramesEvenWithoutSessions) {
  struct Case {
    uint8_t codec, audioFormat;
    int32_t video, audio, sampleBytes, bits, rate;
    const char* rtpMap;
  };
  // Each row follows the previous one on the same channel.
  const Case cases[] = {
      {3, 2, 3, -1, 0, 0, 0, ""},  // video codecs follow the frames
      {130, 4, 3, 130, 2, 16, 16000, "PCMA/16000"},
      {129, 1, 3, 129, 1, 8, 8000, "PCMU/8000"},
      {129, 5, 3, 129, 0, 8, 8000, "PCMU/8000"},  // unknown format: bytes 0, the rest kept
      {128, 2, 3, 128, 2, 16, 8000, ""},          // no name: no audio track announced
      {7, 2, 3, 128, 2, 16, 8000, ""},            // neither video nor audio: nothing changes
      {4, 2, 4, 128, 2, 16, 8000, ""},
  };
  EXPECT_EQ(channel_.VideoCodec(), 4) << "the configured type until frames say otherwise";
  for (const Case& c : cases) {
    channel_.DispatchFrame(Frame(c.codec, c.audioFormat, kAudioFrameType));
    EXPECT_EQ(channel_.VideoCodec(), c.video) << int{c.codec};
    EXPECT_EQ(channel_.AudioCodec(), c.audio) << int{c.codec};
    EXPECT_EQ(channel_.AudioSampleBytes(), c.sampleBytes) << int{c.codec};
    EXPECT_EQ(channel_.AudioBitsPerSample(), c.bits) << int{c.codec};
    EXPECT_EQ(channel_.AudioSampleRate(), c.rate) << int{c.codec};
    EXPECT_EQ(channel_.GetAudioRtpMap(), c.rtpMap) << int{c.codec};
  }
  std::vector<uint8_t> broken = Frame(3, 2, kKeyVideoFrameType);
  broken[4] ^= 0xFF;  // first magic word
  channel_.DispatchFrame(broken);
  EXPECT_EQ(channel_.VideoCodec(), 4) << "a damaged header teaches nothing";
}

TEST_F(LiveChannelTest, ExpiredSessionsAreSweptByTheManagerAndTheRestReceive) {
  FakeRtpConnection connection;
  const auto udpA = UdpSession(manager_, "10.0.0.1", 5000);
  const auto bound = UdpSession(manager_, "10.0.0.2", 5000);
  const auto udpB = UdpSession(manager_, "10.0.0.3", 5000);
  bound->SetConnection(&connection);
  ASSERT_TRUE(bound->StartStreaming() && udpA->StartStreaming() && udpB->StartStreaming());
  channel_.AttachSession(bound);  // twice: still one entry
  EXPECT_EQ(channel_.SessionCount(), 3u);

  fake_.clock.tick += TBaseSession::kSessionTimeoutMs;
  channel_.DispatchFrame(Frame(4, 2, kKeyVideoFrameType));
  EXPECT_EQ(manager_.SweepExpired(), 2u);
  EXPECT_EQ(channel_.SessionCount(), 1u);
  EXPECT_EQ(manager_.Sessions(), std::vector<std::shared_ptr<TBaseSession>>{bound});
  EXPECT_TRUE(WaitUntil([&] { return connection.WriteCount() > 0; }))
      << "the remaining session got the frame";
  bound->StopStreaming();
}

TEST_F(LiveChannelTest, FramesLongerThanTheirBufferAreDropped) {
  FakeRtpConnection connection;
  const auto session = UdpSession(manager_, "10.0.0.2", 5000);
  session->SetConnection(&connection);
  ASSERT_TRUE(session->StartStreaming());
  std::vector<uint8_t> frame = Frame(4, 2, kKeyVideoFrameType);
  TFrameHeader header = *ReadFrameHeader(frame);
  header.DataLen = 1 << 20;
  WriteFrameHeader(header, frame);
  channel_.DispatchFrame(frame);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(connection.WriteCount(), 0u);
  session->StopStreaming();
}

}  // namespace
