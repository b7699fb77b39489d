// The payloads one frame is cut into, before any viewer's header: what every viewer then sends.
#include <gtest/gtest.h>

#include <vector>

#include "capture/FrameType.h"
#include "stream/RtpPacketizer.h"
#include "config/Settings.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A NAL unit of header and bodySize bytes without zeros, so no start code appears by accident.
Bytes Nal(uint8_t header, size_t bodySize) {
  Bytes b{header};
  for (size_t i = 0; i < bodySize; ++i) b.push_back(static_cast<uint8_t>(1 + i % 251));
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct Out {
  Bytes prefix;
  size_t bodyOffset, bodyLength;  // in the frame
  bool marker;
};

struct Case {
  const char* name;
  uint32_t codec, frameType;
  uint8_t track;
  Bytes frame;
  std::vector<Out> out;
  bool advancesClock;
};

const Bytes k4 = {0, 0, 0, 1}, k3 = {0, 0, 1};
constexpr uint32_t kH264 = kEncodeTypeH264, kKey = kKeyVideoFrameType, kP = kOtherVideoFrameType;

TEST(RtpPacketizer, CutsEachFrameIntoItsPayloads) {
  const std::vector<Case> cases = {
      {"single unit", kH264, kP, 1, Cat({k4, Nal(0x41, 9)}), {{{}, 4, 10, true}}, true},
      {"1400 body bytes: still single", kH264, kP, 1, Cat({k4, Nal(0x41, 1400)}),
       {{{}, 4, 1401, true}}, true},
      {"1401 body bytes: two fragments", kH264, kP, 1, Cat({k4, Nal(0x65, 1401)}),
       {{{0x7C, 0x85}, 5, 1400, false}, {{0x7C, 0x45}, 1405, 1, true}}, true},
      {"large unit", kH264, kP, 1, Cat({k3, Nal(0x41, 4000)}),
       {{{0x5C, 0x81}, 4, 1400, false},
        {{0x5C, 0x01}, 1404, 1400, false},
        {{0x5C, 0x41}, 2804, 1200, true}},
       true},
      // The marker ends the access unit: not on the parameter sets.
      {"key frame, 4- and 3-byte start codes", kH264, kKey, 1,
       Cat({k4, Nal(0x67, 5), k3, Nal(0x68, 3), k4, Nal(0x65, 20), k3, Nal(0x41, 8)}),
       {{{}, 4, 6, false}, {{}, 13, 4, false}, {{}, 21, 33, true}}, true},
      {"other frame: one unit whatever follows", kH264, kP, 1,
       Cat({k4, Nal(0x41, 8), k4, Nal(0x41, 8)}), {{{}, 4, 22, true}}, true},
      {"empty frame", kH264, kKey, 1, {}, {}, true},
      {"MPEG-4 chunks", kEncodeTypeMpeg4, kKey, 1, Bytes(2801, 7),
       {{{}, 0, 1400, false}, {{}, 1400, 1400, false}, {{}, 2800, 1, true}}, true},
      {"piece of a frame on track 0", kEncodeTypeMpeg4, kKey, 0, Bytes(1401, 7),
       {{{}, 0, 1400, false}, {{}, 1400, 1, false}}, false},
      {"audio", 129, kAudioFrameType, 1, Bytes(320, 9), {{{}, 0, 320, true}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TFramePackage* package = TFramePackage::Create(c.frame);
    package->Codec = c.codec;
    package->FrameType = c.frameType;
    package->Track = c.track;
    const auto frame = TRtpPacketizer::Packetize(*package);
    package->Release();
    ASSERT_EQ(frame->PacketCount(), c.out.size());
    for (size_t i = 0; i < c.out.size(); ++i) {
      const Out& out = c.out[i];
      EXPECT_EQ(Bytes(frame->Prefix(i).begin(), frame->Prefix(i).end()), out.prefix) << i;
      const auto body = c.frame.begin() + static_cast<std::ptrdiff_t>(out.bodyOffset);
      EXPECT_EQ(Bytes(frame->Body(i).begin(), frame->Body(i).end()),
                Bytes(body, body + static_cast<std::ptrdiff_t>(out.bodyLength)))
          << i;
      EXPECT_EQ(frame->Marker(i), out.marker) << i;
    }
    EXPECT_EQ(frame->AdvancesClock(), c.advancesClock);
    EXPECT_EQ(frame->Package().ReferenceCount(), 1) << "the frame holds the package";
  }
}

}  // namespace
