// The desktop encoder on a real X server: what the screen shows comes out as encoded frames.
#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "DesktopEncoderTestSupport.h"
#include "FrameHeader.h"
#include "TestScreen.h"
#include "XvfbDisplay.h"

namespace {

struct Case {
  const char* name;
  int depth;
  int width, height;  // settings; 0 takes the screen's size
  int expectedWidth, expectedHeight;
};

class DesktopEncoderOnX11 : public ::testing::TestWithParam<Case> {};

TEST_P(DesktopEncoderOnX11, EncodesTheScreenAtTheConfiguredSize) {
  const Case& c = GetParam();
  XvfbDisplay display({640, 480, c.depth});
  TestScreen screen(display.Name());
  screen.Fill(0, 0, 640, 240, {255, 0, 0});
  screen.Fill(0, 240, 640, 240, {0, 0, 255});
  screen.Sync();

  FakeClock clock;
  TempLog log;
  TestBinding binding;
  TDesktopEncoder encoder(TVideoSettings{8, kEncodeTypeH264, 0, c.width, c.height}, binding,
                          platform::CreateScreenCapture(clock, display.Name()), clock, log.get());
  std::vector<TFrameHeader> headers;
  encoder.SetOnFrame([&headers](TDesktopEncoder& e) {
    const auto header = ReadFrameHeader(e.FrameBuffer());
    if (header) headers.push_back(*header);
  });
  for (int i = 0; i < 3; ++i) {
    encoder.Poll();
    clock.tick += encoder.FrameInterval();
  }
  ASSERT_EQ(headers.size(), 3u) << log.Text();
  EXPECT_EQ(headers[0].FrameType, 2);
  EXPECT_EQ(headers[0].Width, c.expectedWidth);
  EXPECT_EQ(headers[0].Height, c.expectedHeight);
  EXPECT_NE(encoder.FmtpLine(), "");

  // Upright and in the same colours at every depth: red on top, blue below (V high for red, U
  // high for blue; BT.601 limited range).
  const TYuvLayout layout = YuvLayoutFor(c.expectedWidth, c.expectedHeight);
  const auto yuv = encoder.YuvBuffer();
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
  const Case& c = GetParam();
  XvfbDisplay display({640, 480, c.depth});
  TestScreen screen(display.Name());
  screen.Fill(0, 0, 640, 480, {0, 128, 0});
  screen.Sync();

  FakeClock clock;
  TempLog log;
  TestBinding binding;
  TDesktopEncoder encoder(TVideoSettings{8, kEncodeTypeH264, 0, c.width, c.height}, binding,
                          platform::CreateScreenCapture(clock, display.Name()), clock, log.get());
  int frames = 0;
  encoder.SetOnFrame([&frames](TDesktopEncoder&) { ++frames; });
  for (int i = 0; i < 3; ++i) {
    encoder.Poll();
    clock.tick += encoder.FrameInterval();
  }
  ASSERT_EQ(frames, 3) << log.Text();

  long allocations = 0;
  {
    const AllocationCounter counter;
    for (int i = 0; i < 5; ++i) {
      screen.Fill(0, 40 * i, 640, 40, {255, 255, 255});
      screen.Sync();
      encoder.Poll();
      clock.tick += encoder.FrameInterval();
    }
    allocations = counter.Count();
  }
  EXPECT_EQ(frames, 8) << log.Text();
  EXPECT_EQ(allocations, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, DesktopEncoderOnX11,
    ::testing::Values(Case{"depth8", 8, 0, 0, 640, 480}, Case{"depth15", 15, 0, 0, 640, 480},
                      Case{"depth16", 16, 0, 0, 640, 480}, Case{"depth24", 24, 0, 0, 640, 480},
                      Case{"stretched", 24, 320, 240, 320, 240}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
