#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "capture/FrameHeader.h"
#include "capture/FrameType.h"

namespace {

TEST(FrameHeader, WritesTheAgreedLittleEndianLayout) {
  TFrameHeader header = MakeFrameHeader(4);
  SetEncodedFrame(header, {.dataLength = 0x01020304,
                           .width = 1920,
                           .height = 1080,
                           .keyFrame = true,
                           .localTimeMs = 1700000000123});
  std::array<uint8_t, 64> bytes{};
  ASSERT_TRUE(WriteFrameHeader(header, bytes));
  const std::array<uint8_t, 64> expected = {
      64,   0,    0,    0,    0xA9, 0xCA, 0xAF, 0x11, 0xBD, 0x2F, 0x10, 0xEE, 0x04,
      0x03, 0x02, 0x01, 0x80, 0x07, 0,    0,    0x38, 0x04, 0,    0,    4,    2,
      2,    0,    0,    1,    1,    16,   0x00, 0xF1, 0x53, 0x65, 0x78, 0xE0, 0x01,
      0x00, 0x40, 0x1F, 0,    0,    0,    0,    0,    0,    0,    44,   1,    0,
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(bytes, expected);

  // A clock set before 1970 still splits into whole seconds and milliseconds.
  SetEncodedFrame(header, {.keyFrame = false, .localTimeMs = -1});
  EXPECT_EQ(header.FrameType, kOtherVideoFrameType);
  EXPECT_EQ(header.TimeSec, 0xFFFFFFFFu);
  EXPECT_EQ(header.TimeUSec, 999000u);
}

TEST(FrameHeader, ReadGivesBackEveryByteAndRefusesShortBuffers) {
  std::array<uint8_t, 64> original{};
  uint32_t state = 12345;
  for (uint8_t& byte : original)
    byte = static_cast<uint8_t>((state = state * 1103515245u + 1) >> 16);
  const std::optional<TFrameHeader> header = ReadFrameHeader(original);
  ASSERT_TRUE(header.has_value());
  std::array<uint8_t, 64> rewritten{};
  ASSERT_TRUE(WriteFrameHeader(*header, rewritten));
  EXPECT_EQ(rewritten, original);

  std::vector<uint8_t> shortBuffer(63, 0xAB);
  EXPECT_FALSE(WriteFrameHeader(*header, shortBuffer));
  EXPECT_EQ(shortBuffer, std::vector<uint8_t>(63, 0xAB));
  EXPECT_FALSE(ReadFrameHeader(shortBuffer).has_value());
}

TEST(FrameHeader, ValidOnlyWithSizeAndBothMagicWords) {
  struct Case {
    size_t offset;
    uint8_t value;
    bool valid;
  };
  const Case cases[] = {
      {0, 64, true},    {0, 0, false},     {0, 65, false},   {3, 64, false},  // size byte order
      {4, 0xA8, false}, {11, 0x6E, false}, {8, 0xA9, false},                  // magic words
      {24, 99, true},   {26, 99, true},    {49, 0, true},    {63, 0xFF, true},
  };
  for (const Case& c : cases) {
    std::array<uint8_t, 64> bytes{};
    ASSERT_TRUE(WriteFrameHeader(MakeFrameHeader(4), bytes));
    bytes[c.offset] = c.value;
    EXPECT_EQ(IsValidFrameHeader(*ReadFrameHeader(bytes)), c.valid) << "byte " << c.offset;
  }
}

TEST(FrameHeader, PayloadStaysInsideTheBuffer) {
  struct Case {
    int32_t dataLen;
    size_t bytesAfterHeader;
    bool fits;
  };
  const Case cases[] = {{0, 0, true},          {10, 10, true},  {10, 1000, true},
                        {11, 10, false},       {-1, 10, false}, {INT32_MIN, 10, false},
                        {INT32_MAX, 10, false}};
  for (const Case& c : cases) {
    TFrameHeader header = MakeFrameHeader(4);
    header.DataLen = c.dataLen;
    std::vector<uint8_t> frame(64 + c.bytesAfterHeader);
    ASSERT_TRUE(WriteFrameHeader(header, frame));
    const auto payload = FramePayload(frame, header);
    ASSERT_EQ(payload.has_value(), c.fits) << c.dataLen << " in " << c.bytesAfterHeader;
    if (!payload) continue;
    EXPECT_EQ(payload->data(), frame.data() + 64);
    EXPECT_EQ(payload->size(), static_cast<size_t>(c.dataLen));
  }
}

TEST(FrameType, ClassifiesKeyVideoAndAudioCodes) {
  struct Case {
    uint32_t code;
    bool key, video, audio;
  };
  const Case
      cases[] = {{0, 0, 0, 0},  {1, 1, 1, 0},  {3, 0, 1, 0},  {4, 0, 1, 0},
                 {5, 0, 0, 1},  {16, 0, 0, 0}, {17, 0, 1, 0}, {21, 1, 1, 0},
                 {24, 1, 1, 0}, {25, 0, 0, 0}, {258, 0, 0, 0}};  // 258 would be 2 if cut to a byte
  for (const Case& c : cases) {
    EXPECT_EQ(IsKeyFrameType(c.code), c.key) << c.code;
    EXPECT_EQ(IsVideoFrameType(c.code), c.video) << c.code;
    EXPECT_EQ(IsAudioFrameType(c.code), c.audio) << c.code;
  }
}

}  // namespace
