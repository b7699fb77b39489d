// The desktop encoder on a real X server: what the screen shows comes out as encoded frames.
#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "DesktopEncoderTestSupport.h"
#include "capture/FrameHeader.h"
#include "capture/FrameType.h"
#include "encoder/H264SkipFrames.h"
#include "tests/support/StrictDecode.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

namespace {

struct Case {
  const char* name;
  int depth;
  int width, height;  // settings; 0 takes the screen's size
  int expectedWidth, expectedHeight;
};

// A 640x480 Xvfb screen at the case's depth and a desktop encoder on it, with the case's settings.
class DesktopEncoderOnX11 : public ::testing::TestWithParam<Case> {
 protected:
  DesktopEncoderOnX11()
      : display_({640, 480, GetParam().depth}),
        screen_(display_.Name()),
        encoder_(TVideoSettings{8, kEncodeTypeH264, 0, GetParam().width, GetParam().height},
                 binding_, platform::CreateScreenCapture(clock_, display_.Name()), clock_,
                 log_.get()) {}

  void Poll(int times) { PollEveryInterval(encoder_, clock_, times); }

  XvfbDisplay display_;
  TestScreen screen_;
  TEncoderClock clock_;
  TempLog log_;
  TestBinding binding_;
  TDesktopEncoder encoder_;
};

TEST_P(DesktopEncoderOnX11, EncodesTheScreenAtTheConfiguredSize) {
  const Case& c = GetParam();
  screen_.Fill(0, 0, 640, 240, {255, 0, 0});
  screen_.Fill(0, 240, 640, 240, {0, 0, 255});
  screen_.Sync();
  std::vector<TFrameHeader> headers;
  encoder_.SetOnFrame([&headers](TDesktopEncoder& e) {
    const auto header = ReadFrameHeader(e.FrameBuffer());
    if (header) headers.push_back(*header);
  });
  Poll(3);
  ASSERT_EQ(headers.size(), 3u) << log_.Text();
  EXPECT_EQ(headers[0].FrameType, 2);
  EXPECT_EQ(headers[0].Width, c.expectedWidth);
  EXPECT_EQ(headers[0].Height, c.expectedHeight);
  EXPECT_NE(encoder_.FmtpLine(), "");

  // Upright and in the same colours at every depth: red on top, blue below (V high for red, U
  // high for blue; BT.601 limited range).
  const TYuvLayout layout = YuvLayoutFor(c.expectedWidth, c.expectedHeight);
  const auto yuv = encoder_.YuvBuffer();
  const size_t topRow = 2 * layout.chromaStride;
  const size_t bottomRow = (layout.chromaRows - 3) * layout.chromaStride;
  EXPECT_NEAR(yuv[layout.vOffset + topRow + 4], 240, 2);
  EXPECT_NEAR(yuv[layout.uOffset + bottomRow + 4], 240, 2);
  const size_t width = static_cast<size_t>(c.expectedWidth);
  EXPECT_NEAR(yuv[4 * width + 4], 82, 2);
  EXPECT_NEAR(yuv[static_cast<size_t>(c.expectedHeight - 4) * width + 4], 41, 2);
}

// Once the buffers exist, capturing, converting and encoding a picture takes nothing from the
// heap: not at full size (read in bands), not at a depth that needs expanding, not stretched.
TEST_P(DesktopEncoderOnX11, AfterTheFirstPicturesTheFramePathAllocatesNothing) {
  screen_.Fill(0, 0, 640, 480, {0, 128, 0});
  screen_.Sync();
  int frames = 0;
  encoder_.SetOnFrame([&frames](TDesktopEncoder&) { ++frames; });
  Poll(3);
  ASSERT_EQ(frames, 3) << log_.Text();

  long allocations = 0;
  {
    const AllocationCounter counter;
    for (int i = 0; i < 5; ++i) {
      screen_.Fill(0, 40 * i, 640, 40, {255, 255, 255});
      screen_.Sync();
      Poll(1);
    }
    allocations = counter.Count();
  }
  EXPECT_EQ(frames, 8) << log_.Text();
  EXPECT_EQ(allocations, 0);
}

// A still screen costs a few bytes a frame and keeps its key frames a second apart. Changed rows
// read alone (an odd number of them, and the pointer's old and new places) leave the same planar
// picture as a whole new read, and the stream passes the strict decoders.
TEST_P(DesktopEncoderOnX11, StillScreenSendsSkipFramesAndReadsOnlyChangedRows) {
  screen_.SetPointer(16, 0, 0, {255, 255, 0});
  screen_.MovePointer(20, 20);
  screen_.Fill(0, 0, 640, 480, {0, 128, 0});
  screen_.Sync();
  std::vector<uint8_t> stream;
  std::string kinds;  // k: key frame, s: skip frame, p: any other picture
  encoder_.SetOnFrame([&](TDesktopEncoder& e) {
    const auto header = ReadFrameHeader(e.FrameBuffer());
    ASSERT_TRUE(header.has_value());
    const auto data = e.FrameBuffer().subspan(kFrameHeaderSize, static_cast<size_t>(header->DataLen));
    kinds += IsKeyFrameType(header->FrameType)                           ? 'k'
             : data.size() <= TH264SkipFrames::kMaxSkipFrameSize ? 's'
                                                                   : 'p';
    stream.insert(stream.end(), data.begin(), data.end());
  });
  Poll(10);
  EXPECT_EQ(kinds, "ksssssssks") << log_.Text();

  screen_.Fill(0, 101, 640, 41, {255, 255, 255});
  screen_.MovePointer(300, 333);
  screen_.Sync();
  Poll(2);
  EXPECT_EQ(kinds.substr(10), "ps");
  TDesktopEncoder whole(TVideoSettings{8, kEncodeTypeH264, 0, GetParam().width, GetParam().height},
                        binding_, platform::CreateScreenCapture(clock_, display_.Name()), clock_,
                        log_.get());
  ASSERT_TRUE(whole.GrabFrame());
  EXPECT_TRUE(std::ranges::equal(whole.YuvBuffer(), encoder_.YuvBuffer()));

  const TStrictDecode decoded = StrictlyDecode(stream);
  EXPECT_TRUE(decoded.ffmpegAccepted);
  EXPECT_EQ(decoded.gstComplaint, "");
  ASSERT_EQ(decoded.pictureSums.size(), kinds.size());
  // Each skip frame decodes to the picture before it; the second key frame codes it anew.
  for (const size_t skip : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 11u}) {
    EXPECT_EQ(decoded.pictureSums[skip], decoded.pictureSums[skip - 1]) << "picture " << skip;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DesktopEncoderOnX11,
    ::testing::Values(Case{"depth8", 8, 0, 0, 640, 480}, Case{"depth15", 15, 0, 0, 640, 480},
                      Case{"depth16", 16, 0, 0, 640, 480}, Case{"depth24", 24, 0, 0, 640, 480},
                      Case{"stretched", 24, 320, 240, 320, 240}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
