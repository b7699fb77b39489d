#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DesktopEncoderTestSupport.h"
#include "capture/FmtpLine.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"

namespace {

std::vector<uint8_t> Base64Decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<uint32_t>(alphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

TVideoSettings Video(int encodeType = kEncodeTypeH264, int width = 0, int height = 0, int fps = 8) {
  return TVideoSettings{fps, encodeType, 0, width, height};
}

struct Captured {
  std::vector<TFrameHeader> headers;
  std::vector<std::vector<uint8_t>> frames;
};

// An encoder on a fake screen that records every frame it hands on.
class DesktopEncoderTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDesktopEncoder> Make(const TVideoSettings& settings, int screenWidth = 320,
                                        int screenHeight = 240) {
    auto screen = std::make_unique<FakeScreen>(screenWidth, screenHeight);
    screen_ = screen.get();
    auto encoder = std::make_unique<TDesktopEncoder>(settings, binding_, std::move(screen), clock_,
                                                     log_.get());
    encoder->SetOnFrame([this](TDesktopEncoder& e) {
      const auto header = ReadFrameHeader(e.FrameBuffer());
      ASSERT_TRUE(header);
      const auto payload = FramePayload(e.FrameBuffer(), *header);
      ASSERT_TRUE(payload);
      captured_.headers.push_back(*header);
      captured_.frames.emplace_back(payload->begin(), payload->end());
    });
    return encoder;
  }
  void Run(TDesktopEncoder& encoder, int polls) { PollEveryInterval(encoder, clock_, polls); }

  TEncoderClock clock_;
  TempLog log_;
  TestBinding binding_;
  FakeScreen* screen_ = nullptr;
  Captured captured_;
};

TEST_F(DesktopEncoderTest, FirstFrameIsKeyWithHeaderAndYieldsTheFormatLine) {
  auto encoder = Make(Video());
  ASSERT_TRUE(encoder->HasEncoder());
  EXPECT_EQ(encoder->FmtpLine(), "");
  Run(*encoder, 1);
  ASSERT_EQ(captured_.headers.size(), 1u);
  const TFrameHeader& h = captured_.headers[0];
  EXPECT_TRUE(IsValidFrameHeader(h));
  EXPECT_EQ(h.FrameType, 2);
  EXPECT_EQ(h.VideoCodec, kEncodeTypeH264);
  EXPECT_EQ(h.Width, 320);
  EXPECT_EQ(h.Height, 240);
  EXPECT_EQ(h.DataLen, static_cast<int32_t>(captured_.frames[0].size()));
  // 2026-12-07 10:30:15.250 local time, read as if it were UTC.
  EXPECT_EQ(h.TimeSec, 1796639415u);
  EXPECT_EQ(h.TimeUSec, 250000u);

  const std::string line = encoder->FmtpLine();
  const std::string head = "a=fmtp:96 profile-level-id=";
  const std::string middle = "; packetization-mode=1; sprop-parameter-sets=";
  ASSERT_EQ(line.rfind(head, 0), 0u) << line;
  ASSERT_EQ(line.compare(head.size() + 6, middle.size(), middle), 0) << line;
  const std::string profileLevelId = line.substr(head.size(), 6);
  const std::string sets = line.substr(head.size() + 6 + middle.size());
  const size_t comma = sets.find(',');
  ASSERT_NE(comma, std::string::npos);
  const std::vector<uint8_t> sps = Base64Decode(sets.substr(0, comma));
  const std::vector<uint8_t> pps = Base64Decode(sets.substr(comma + 1));
  // The frame starts 00 00 00 01 SPS 00 00 00 01 PPS 00 00 00 01 ...
  const std::vector<uint8_t>& frame = captured_.frames[0];
  ASSERT_GT(frame.size(), 8 + sps.size() + pps.size());
  EXPECT_EQ(
      std::vector<uint8_t>(frame.begin() + 4, frame.begin() + 4 + static_cast<long>(sps.size())),
      sps);
  EXPECT_EQ(sps[0] & 0x1F, 7);
  char spsProfile[7];
  std::snprintf(spsProfile, sizeof spsProfile, "%02X%02X%02X", sps[1], sps[2], sps[3]);
  EXPECT_EQ(profileLevelId, spsProfile) << "the description must not contradict the SPS";
  const auto ppsAt = frame.begin() + 8 + static_cast<long>(sps.size());
  EXPECT_EQ(std::vector<uint8_t>(ppsAt, ppsAt + static_cast<long>(pps.size())), pps);
  EXPECT_EQ(pps[0] & 0x1F, 8);
  const size_t after = 8 + sps.size() + pps.size();
  EXPECT_TRUE(frame[after] == 0 && frame[after + 1] == 0 &&
              (frame[after + 2] == 1 || (frame[after + 2] == 0 && frame[after + 3] == 1)))
      << "the PPS ends at the next start code";

  const std::string text = log_.Text();
  for (const std::string& expected :
       {std::string("create encoder = 0x"), "sps=" + std::to_string(sps.size() + 4),
        "pps=" + std::to_string(pps.size() + 4), "fmtp=" + line,
        "send 264 flag pack, sps = " + std::to_string(sps.size() + 4) +
            ", pps = " + std::to_string(pps.size() + 4),
        std::string("00 00 00 01 67 ")}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
}

TEST_F(DesktopEncoderTest, FullDesktopSizeBuffers) {
  auto encoder = Make(Video(kEncodeTypeH264, 0, 720), 1920, 1080);
  Run(*encoder, 1);
  EXPECT_EQ(encoder->TargetWidth(), 1920);
  EXPECT_EQ(encoder->TargetHeight(), 1080);
  EXPECT_EQ(encoder->YuvBuffer().size(), 3110400u);
  EXPECT_EQ(encoder->FrameBuffer().size(), 6221824u);
  ASSERT_EQ(captured_.headers.size(), 1u);
  EXPECT_EQ(captured_.headers[0].Width, 1920);
}

// Recorders and segmenters cut at key frames: at most 2 s of the configured rate apart.
TEST_F(DesktopEncoderTest, KeyFramesComeWithinTwoSecondsOfTheConfiguredRate) {
  constexpr int kFps = 8;
  for (const int encodeType : {kEncodeTypeH264, kEncodeTypeMpeg4}) {
    SCOPED_TRACE(encodeType);
    captured_ = {};
    auto encoder = Make(Video(encodeType, 0, 0, kFps));
    Run(*encoder, 40);
    ASSERT_EQ(captured_.headers.size(), 40u);
    size_t lastKey = 0;
    for (size_t i = 0; i < captured_.headers.size(); ++i) {
      if (captured_.headers[i].FrameType == kKeyVideoFrameType) lastKey = i;
      EXPECT_LT(i - lastKey, 2u * kFps) << "frame " << i << " is too far from a key frame";
    }
  }
}

TEST_F(DesktopEncoderTest, H264RoundsOddSizesDownToEven) {
  const struct {
    int encodeType, width, height, screenWidth, screenHeight, targetWidth, targetHeight;
  } cases[] = {
      {kEncodeTypeH264, 641, 481, 1280, 960, 640, 480},  // as configured
      {kEncodeTypeH264, 0, 0, 321, 241, 320, 240},       // the desktop's own size
      {kEncodeTypeH264, 0, 0, 320, 241, 320, 240},
      {kEncodeTypeMpeg4, 0, 0, 321, 241, 321, 241},      // left to the MPEG-4 channel
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.encodeType) + ": " + std::to_string(c.width) + "x" +
                 std::to_string(c.height) + " on " + std::to_string(c.screenWidth) + "x" +
                 std::to_string(c.screenHeight));
    captured_ = {};
    auto encoder = Make(Video(c.encodeType, c.width, c.height), c.screenWidth, c.screenHeight);
    Run(*encoder, 1);
    EXPECT_EQ(encoder->TargetWidth(), c.targetWidth);
    EXPECT_EQ(encoder->TargetHeight(), c.targetHeight);
    if (c.encodeType != kEncodeTypeH264) continue;
    ASSERT_EQ(captured_.headers.size(), 1u) << "a picture is encoded";
    EXPECT_EQ(captured_.headers[0].Width, c.targetWidth);
    EXPECT_EQ(captured_.headers[0].Height, c.targetHeight);
  }
}

TEST_F(DesktopEncoderTest, FrameIntervalRoundsHalfToEven) {
  const std::pair<int, uint32_t> cases[] = {{8, 125}, {30, 33}, {16, 62}, {1, 1000}, {7, 143}};
  for (const auto& [fps, interval] : cases) {
    auto encoder = Make(Video(kEncodeTypeH264, 0, 0, fps));
    EXPECT_EQ(encoder->FrameInterval(), interval) << fps << " fps";
  }
}

TEST_F(DesktopEncoderTest, EncodesOnlyWhenTheIntervalHasPassed) {
  auto encoder = Make(Video());  // 125 ms
  encoder->Poll();
  EXPECT_EQ(captured_.headers.size(), 1u);
  EXPECT_EQ(encoder->MillisecondsUntilNextFrame(), 125u);
  clock_.tick += 100;
  encoder->Poll();
  EXPECT_EQ(captured_.headers.size(), 1u) << "captured, but not due yet";
  EXPECT_EQ(encoder->MillisecondsUntilNextFrame(), 25u);
  clock_.tick += 30;  // 5 ms late: the next slot still follows the schedule
  encoder->Poll();
  EXPECT_EQ(captured_.headers.size(), 2u);
  EXPECT_EQ(encoder->MillisecondsUntilNextFrame(), 120u);
  clock_.tick += 5000;  // a stall: one picture, then a fresh schedule rather than a burst
  encoder->Poll();
  encoder->Poll();
  EXPECT_EQ(captured_.headers.size(), 3u);
  EXPECT_EQ(encoder->MillisecondsUntilNextFrame(), 125u);

  // The tick counter wrapping around changes nothing.
  clock_.tick = 0xFFFFFFF0u;
  auto wrapped = Make(Video());
  wrapped->Poll();
  clock_.tick += 125;
  wrapped->Poll();
  EXPECT_EQ(captured_.headers.size(), 5u);
}

TEST_F(DesktopEncoderTest, FailedEncodeKeepsTheKeyFrameRequest) {
  auto encoder = Make(Video());
  Run(*encoder, 3);
  ASSERT_EQ(captured_.headers.size(), 3u);
  EXPECT_EQ(captured_.headers[1].FrameType, 3);

  encoder->RequestKeyFrame();
  binding_.failEncodes = 1;
  Run(*encoder, 1);
  EXPECT_EQ(captured_.headers.size(), 3u) << "a failed encode hands on nothing";
  Run(*encoder, 2);
  ASSERT_EQ(captured_.headers.size(), 5u);
  EXPECT_EQ(captured_.headers[3].FrameType, 2) << "the request survived the failure";
  EXPECT_EQ(captured_.frames[3][4] & 0x1F, 7) << "key frames start with the SPS";
  EXPECT_EQ(captured_.headers[4].FrameType, 3);
}

TEST_F(DesktopEncoderTest, Mpeg4FormatLineCarriesTheHeadersInFrontOfTheFirstPicture) {
  auto encoder = Make(Video(kEncodeTypeMpeg4));
  Run(*encoder, 3);
  ASSERT_EQ(captured_.headers.size(), 3u);
  EXPECT_EQ(captured_.headers[0].VideoCodec, kEncodeTypeMpeg4);
  EXPECT_EQ(captured_.headers[0].FrameType, 2);
  const auto config = FindMpeg4Config(captured_.frames[0]);
  ASSERT_TRUE(config) << "the key frame starts with the stream's headers";
  EXPECT_EQ(encoder->FmtpLine(), MakeMpeg4FmtpLine(*config));
  EXPECT_EQ(encoder->FmtpLine().rfind("a=fmtp:96 profile-level-id=", 0), 0u);
  EXPECT_NE(encoder->FmtpLine().find("; config=000001B0"), std::string::npos)
      << "xvidcore opens with the visual object sequence header";
}

TEST_F(DesktopEncoderTest, WithoutEncoderCapturesButHandsOnNothing) {
  struct Case {
    const char* name;
    std::string library;
    int encodeType;
    const char* logged;
  };
  const Case cases[] = {
      {"library missing", "/nonexistent/libOrxEncoder.so", kEncodeTypeH264,
       "create encoder = 0xFFFFFFFF"},
      {"no MJPEG channel", ORXENCODER_PATH, kEncodeTypeMjpeg, "create encoder = 0x00000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestBinding binding(c.library);
    auto screen = std::make_unique<FakeScreen>(160, 120);
    FakeScreen* raw = screen.get();
    TDesktopEncoder encoder(Video(c.encodeType), binding, std::move(screen), clock_, log_.get());
    bool called = false;
    encoder.SetOnFrame([&called](TDesktopEncoder&) { called = true; });
    EXPECT_FALSE(encoder.HasEncoder());
    for (int i = 0; i < 3; ++i) {
      EXPECT_TRUE(encoder.GrabFrame());
      encoder.EncodeFrame();
    }
    EXPECT_EQ(raw->captures, 3);
    EXPECT_FALSE(called);
    EXPECT_EQ(binding.encodeCalls, 0);
    EXPECT_NE(log_.Text().find(c.logged), std::string::npos);
  }
}

TEST_F(DesktopEncoderTest, NoDisplayGivesNoPictureAndRecovers) {
  auto encoder = Make(Video());
  screen_->available = false;
  EXPECT_FALSE(encoder->GrabFrame());
  Run(*encoder, 2);
  EXPECT_TRUE(captured_.headers.empty());
  EXPECT_NE(log_.Text().find("screen capture: no display"), std::string::npos);
  screen_->available = true;
  Run(*encoder, 1);
  EXPECT_EQ(captured_.headers.size(), 1u);
}

// Odd sizes (MPEG-4 keeps them): V then U, ceil(W/2) samples per chroma row, floor(H/2) rows; the
// last luma row of an odd height is converted too.
TEST_F(DesktopEncoderTest, OddSizesKeepThePlaneLayout) {
  auto encoder = Make(Video(kEncodeTypeMpeg4, 641, 481), 1280, 960);
  EXPECT_TRUE(encoder->GrabFrame());
  const TYuvLayout layout = YuvLayoutFor(641, 481);
  EXPECT_EQ(layout.chromaStride, 321u);
  EXPECT_EQ(layout.chromaRows, 240u);
  EXPECT_EQ(layout.vOffset, 641u * 481u);
  EXPECT_EQ(layout.uOffset, 641u * 481u + 321u * 240u);
  const auto yuv = encoder->YuvBuffer();
  ASSERT_GE(yuv.size(), layout.uOffset + 321u * 240u);
  const auto at = [&](size_t offset) { return static_cast<int>(yuv[offset]); };
  // Left red, right blue (BT.601, limited range): red has V 240 U 90, blue V 110 U 240.
  const size_t lastRow = layout.chromaRows - 1;
  EXPECT_NEAR(at(layout.vOffset + lastRow * 321 + 10), 240, 2);
  EXPECT_NEAR(at(layout.uOffset + lastRow * 321 + 10), 90, 2);
  EXPECT_NEAR(at(layout.vOffset + lastRow * 321 + 320), 110, 2);
  EXPECT_NEAR(at(layout.uOffset + lastRow * 321 + 320), 240, 2);
  EXPECT_NEAR(at(layout.uOffset), 90, 2) << "U's first row is not overwritten by an extra V row";
  // Red's luma is 82, blue's 41, on the bottom row as everywhere else.
  EXPECT_NEAR(at(480u * 641u + 10), 82, 2);
  EXPECT_NEAR(at(480u * 641u + 640), 41, 2);
}

// The screen read in bands must give the planar picture a single read gives: each band's luma
// and chroma rows in their places, an odd last row converted once.
TEST_F(DesktopEncoderTest, BandsConvertToTheSamePlanarPicture) {
  const struct {
    int width, height, bandRows;
  } cases[] = {{320, 240, 16}, {641, 481, 128}, {641, 481, 2}, {64, 48, 48}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " in bands of " +
                 std::to_string(c.bandRows));
    auto whole = Make(Video(kEncodeTypeMpeg4), c.width, c.height);
    ASSERT_TRUE(whole->GrabFrame());
    const std::vector<uint8_t> expected(whole->YuvBuffer().begin(), whole->YuvBuffer().end());
    auto banded = Make(Video(kEncodeTypeMpeg4), c.width, c.height);
    screen_->bandRows = c.bandRows;
    ASSERT_TRUE(banded->GrabFrame());
    const std::vector<uint8_t> actual(banded->YuvBuffer().begin(), banded->YuvBuffer().end());
    EXPECT_EQ(actual, expected);
  }
}

}  // namespace
