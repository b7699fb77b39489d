#include <gtest/gtest.h>
#include <libyuv/convert.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "platform/ScreenCapture.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

void PrintTo(const Rgb& c, std::ostream* out) {
  *out << "rgb(" << int{c.red} << ", " << int{c.green} << ", " << int{c.blue} << ")";
}

namespace {

using platform::CreateScreenCapture;
using platform::TCaptureStatus;
using platform::TScreenCapture;
using platform::TScreenPicture;

// Close to the tick's wrap, which the pacing must survive.
class TWrapClock : public FakeClock {
 public:
  TWrapClock() : FakeClock({}, 4'000'000'000u) {}
};

constexpr int kWidth = 640;
constexpr int kHeight = 480;

constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kGreen{0, 255, 0};
constexpr Rgb kBlue{0, 0, 255};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kYellow{255, 255, 0};
constexpr Rgb kMagenta{255, 0, 255};
constexpr Rgb kCyan{0, 255, 255};

struct Block {
  int x, y, width, height;
  Rgb colour;
  int CentreX() const { return x + width / 2; }
  int CentreY() const { return y + height / 2; }
};

// The top row differs from the bottom row, so a picture upside down cannot pass.
constexpr Block kBlocks[] = {
    {40, 40, 160, 80, kRed},    {240, 40, 160, 80, kGreen},   {440, 40, 160, 80, kBlue},
    {40, 360, 160, 80, kWhite}, {240, 360, 160, 80, kYellow}, {440, 360, 160, 80, kMagenta},
};

// Columns of one pixel, red and blue in turn: any smoothing while stretching mixes them.
constexpr int kStripesTop = 160;
constexpr int kStripesHeight = 40;

// The pointer: a cyan square whose hotspot is not its top-left corner, over black background.
constexpr int kPointerX = 320;
constexpr int kPointerY = 260;
constexpr int kPointerSize = 8;
constexpr int kHotX = 6;
constexpr int kHotY = 5;

void DrawPattern(TestScreen& screen) {
  screen.Fill(0, 0, kWidth, kHeight, kBlack);
  for (const Block& block : kBlocks)
    screen.Fill(block.x, block.y, block.width, block.height, block.colour);
  for (int x = 0; x < kWidth; ++x)
    screen.Fill(x, kStripesTop, 1, kStripesHeight, x % 2 ? kBlue : kRed);
  screen.SetPointer(kPointerSize, kHotX, kHotY, kCyan);
  screen.MovePointer(kPointerX, kPointerY);
  screen.Sync();
}

Rgb PixelAt(const TScreenPicture& picture, int x, int y) {
  const std::uint8_t* p = picture.pixels + static_cast<std::ptrdiff_t>(y) * picture.stride + x * 4;
  return {p[2], p[1], p[0]};
}

// What a decoder expects: ITU-R BT.601 with the studio range (Y 16..235, U and V 16..240).
struct Yuv {
  double y, u, v;
};
Yuv StudioRange(Rgb c) {
  const double r = c.red, g = c.green, b = c.blue;
  return {16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255,
          128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255,
          128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255};
}

// The conversion the desktop encoder applies to every captured picture.
struct Planar {
  explicit Planar(const TScreenPicture& picture)
      : width(picture.width),
        chromaWidth((picture.width + 1) / 2),
        y(static_cast<std::size_t>(picture.width * picture.height)),
        u(static_cast<std::size_t>(chromaWidth * ((picture.height + 1) / 2))),
        v(u.size()) {
    result = libyuv::ARGBToI420(picture.pixels, picture.stride, y.data(), width, u.data(),
                                chromaWidth, v.data(), chromaWidth, picture.width, picture.height);
  }
  void ExpectColourAt(int x, int yPos, Rgb colour) const {
    const Yuv expected = StudioRange(colour);
    const auto at = [](const std::vector<std::uint8_t>& plane, int stride, int px, int py) {
      return plane[static_cast<std::size_t>(py * stride + px)];
    };
    EXPECT_NEAR(at(y, width, x, yPos), expected.y, 2.0) << "Y at " << x << "," << yPos;
    EXPECT_NEAR(at(u, chromaWidth, x / 2, yPos / 2), expected.u, 2.0)
        << "U at " << x << "," << yPos;
    EXPECT_NEAR(at(v, chromaWidth, x / 2, yPos / 2), expected.v, 2.0)
        << "V at " << x << "," << yPos;
  }
  int width, chromaWidth;
  std::vector<std::uint8_t> y, u, v;
  int result = -1;
};

// A display number no other test is likely to take: those start from the lowest free one.
int UnusedDisplayNumber() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(300, 999);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int number = pick(random);
    const std::string n = std::to_string(number);
    if (!std::filesystem::exists("/tmp/.X" + n + "-lock") &&
        !std::filesystem::exists("/tmp/.X11-unix/X" + n))
      return number;
  }
  throw std::runtime_error("no unused display number");
}

struct DepthCase {
  int depth;
  bool sharedMemory;
};

void PrintTo(const DepthCase& c, std::ostream* out) {
  *out << "depth " << c.depth << (c.sharedMemory ? " with" : " without") << " shared memory";
}

std::string CaseName(const testing::TestParamInfo<DepthCase>& info) {
  return "Depth" + std::to_string(info.param.depth) + (info.param.sharedMemory ? "" : "Plain");
}

class ScreenCaptureDepthTest : public testing::TestWithParam<DepthCase> {
 protected:
  void SetUp() override {
    std::vector<std::string> arguments;
    if (!GetParam().sharedMemory) arguments = {"-extension", "MIT-SHM"};
    xvfb_ = std::make_unique<XvfbDisplay>(XvfbDisplay::Screen{kWidth, kHeight, GetParam().depth},
                                          arguments);
    screen_ = std::make_unique<TestScreen>(xvfb_->Name());
    DrawPattern(*screen_);
    capture_ = CreateScreenCapture(clock_, xvfb_->Name());
    ASSERT_EQ(capture_->Open(), TCaptureStatus::Ok) << capture_->LastError();
  }

  std::unique_ptr<XvfbDisplay> xvfb_;
  std::unique_ptr<TestScreen> screen_;
  TWrapClock clock_;
  std::unique_ptr<TScreenCapture> capture_;
};

TEST_P(ScreenCaptureDepthTest, OneToOneIsUprightWithScreenColoursAndThePointerOnItsHotspot) {
  EXPECT_EQ(capture_->Width(), kWidth);
  EXPECT_EQ(capture_->Height(), kHeight);
  const std::string notice = capture_->TakeNotice();
  EXPECT_NE(notice.find("depth " + std::to_string(GetParam().depth)), std::string::npos) << notice;
  EXPECT_EQ(notice.find("without shared memory") == std::string::npos, GetParam().sharedMemory)
      << notice;

  TScreenPicture picture;
  ASSERT_EQ(capture_->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok)
      << capture_->LastError();
  ASSERT_EQ(picture.width, kWidth);
  ASSERT_EQ(picture.height, kHeight);
  ASSERT_GE(picture.stride, kWidth * 4);

  for (const Block& block : kBlocks) {
    SCOPED_TRACE("block at " + std::to_string(block.x) + "," + std::to_string(block.y));
    EXPECT_EQ(PixelAt(picture, block.x, block.y), block.colour);
    EXPECT_EQ(PixelAt(picture, block.CentreX(), block.CentreY()), block.colour);
    EXPECT_EQ(PixelAt(picture, block.x + block.width - 1, block.y + block.height - 1),
              block.colour);
    EXPECT_EQ(PixelAt(picture, block.x - 1, block.y - 1), kBlack);
  }

  const int left = kPointerX - kHotX;
  const int top = kPointerY - kHotY;
  for (int y = top; y < top + kPointerSize; ++y)
    for (int x = left; x < left + kPointerSize; ++x)
      ASSERT_EQ(PixelAt(picture, x, y), kCyan) << "pointer pixel " << x << "," << y;
  EXPECT_EQ(PixelAt(picture, left - 1, top), kBlack);
  EXPECT_EQ(PixelAt(picture, left, top - 1), kBlack);
  // Where the square would reach with its corner, not its hotspot, on the pointer position.
  EXPECT_EQ(PixelAt(picture, kPointerX + kPointerSize - 1, kPointerY + kPointerSize - 1), kBlack);

  const Planar planar(picture);
  ASSERT_EQ(planar.result, 0);
  for (const Block& block : kBlocks)
    planar.ExpectColourAt(block.CentreX(), block.CentreY(), block.colour);
  planar.ExpectColourAt(2, 2, kBlack);
}

TEST_P(ScreenCaptureDepthTest, StretchedPicksNearestPixelsAndLeavesThePointerOut) {
  const struct { int width, height; } targets[] = {{kWidth / 2, kHeight / 2}, {641, 481}};
  for (const auto& target : targets) {
    SCOPED_TRACE("target " + std::to_string(target.width) + "x" + std::to_string(target.height));
    TScreenPicture picture;
    ASSERT_EQ(capture_->Capture(target.width, target.height, picture), TCaptureStatus::Ok)
        << capture_->LastError();
    ASSERT_EQ(picture.width, target.width);
    ASSERT_EQ(picture.height, target.height);
    const auto toX = [&](int x) { return x * target.width / kWidth; };
    const auto toY = [&](int y) { return y * target.height / kHeight; };

    for (const Block& block : kBlocks)
      EXPECT_EQ(PixelAt(picture, toX(block.CentreX()), toY(block.CentreY())), block.colour);

    int reds = 0;
    int blues = 0;
    for (int y = toY(kStripesTop) + 1; y < toY(kStripesTop + kStripesHeight) - 1; ++y) {
      for (int x = 0; x < target.width; ++x) {
        const Rgb pixel = PixelAt(picture, x, y);
        ASSERT_TRUE(pixel == kRed || pixel == kBlue) << "mixed pixel at " << x << "," << y;
        (pixel == kRed ? reds : blues)++;
      }
    }
    if (kWidth % target.width == 0) {
      // Every output column samples the same column of each pair.
      EXPECT_TRUE(reds == 0 || blues == 0) << reds << " red and " << blues << " blue";
    } else {
      EXPECT_GT(reds, 0);
      EXPECT_GT(blues, 0);
    }

    for (int y = toY(kPointerY) - 6; y <= toY(kPointerY) + 6; ++y)
      for (int x = toX(kPointerX) - 6; x <= toX(kPointerX) + 6; ++x)
        ASSERT_EQ(PixelAt(picture, x, y), kBlack) << "pointer drawn at " << x << "," << y;

    const Planar planar(picture);
    ASSERT_EQ(planar.result, 0);
    planar.ExpectColourAt(toX(kBlocks[0].CentreX()) & ~1, toY(kBlocks[0].CentreY()) & ~1,
                          kBlocks[0].colour);
  }
}

// Read in bands, the screen must come out exactly as read whole: every band in its place, the
// palette or masks applied to each, and a pointer that crosses a band edge drawn whole.
TEST_P(ScreenCaptureDepthTest, BandsMakeTheSamePictureAsOneRead) {
  const auto copyOf = [](const TScreenPicture& picture, std::vector<std::uint8_t>& out, int top) {
    for (int y = 0; y < picture.height; ++y) {
      const std::uint8_t* row = picture.pixels + static_cast<std::ptrdiff_t>(y) * picture.stride;
      std::copy(row, row + picture.width * 4,
                out.begin() + static_cast<std::ptrdiff_t>(top + y) * picture.width * 4);
    }
  };
  const auto bandsOf = [&](int width, int height, int maxRows, std::vector<int>& tops) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width * height * 4), 0);
    const TCaptureStatus status =
        capture_->CaptureInBands(width, height, maxRows, [&](const TScreenPicture& band, int top) {
          EXPECT_EQ(band.width, width);
          EXPECT_LE(top + band.height, height);
          tops.push_back(top);
          if (band.width == width && top + band.height <= height) copyOf(band, pixels, top);
        });
    EXPECT_EQ(status, TCaptureStatus::Ok) << capture_->LastError();
    return pixels;
  };

  struct Case {
    int width, height, maxRows;
    std::vector<int> tops;
  };
  // 10-row bands put an edge at row 260, through the pointer (rows 255-262); 46 rows leave a
  // short last band; 11 rounds down to 10; a stretched picture is read whole.
  std::vector<int> tensOf480;
  for (int top = 0; top < kHeight; top += 10) tensOf480.push_back(top);
  const Case cases[] = {
      {kWidth, kHeight, 10, tensOf480},
      {kWidth, kHeight, 46, {0, 46, 92, 138, 184, 230, 276, 322, 368, 414, 460}},
      {kWidth, kHeight, 11, tensOf480},
      {kWidth / 2, kHeight / 2, 10, {0}},
      {kWidth, kHeight, 0, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " in bands of " +
                 std::to_string(c.maxRows));
    std::vector<int> tops;
    const std::vector<std::uint8_t> banded = bandsOf(c.width, c.height, c.maxRows, tops);
    EXPECT_EQ(tops, c.tops);
    TScreenPicture whole;
    ASSERT_EQ(capture_->Capture(c.width, c.height, whole), TCaptureStatus::Ok)
        << capture_->LastError();
    std::vector<std::uint8_t> expected(banded.size(), 0);
    copyOf(whole, expected, 0);
    // Only the alpha bytes may differ: they carry no meaning.
    for (std::size_t i = 0; i < banded.size(); ++i) {
      if (i % 4 == 3) continue;
      const auto pixel = static_cast<int>(i / 4);
      ASSERT_EQ(banded[i], expected[i])
          << "pixel " << pixel % c.width << "," << pixel / c.width << " byte " << i % 4;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, ScreenCaptureDepthTest,
                         testing::Values(DepthCase{8, true}, DepthCase{15, true},
                                         DepthCase{16, true}, DepthCase{24, true},
                                         DepthCase{30, true}, DepthCase{8, false},
                                         DepthCase{16, false}, DepthCase{24, false}),
                         CaseName);

TEST(ScreenCapture, RetriesAnUnreachableDisplayAtMostOnceASecondWithOneNotice) {
  const int number = UnusedDisplayNumber();
  TWrapClock clock;
  const auto capture = CreateScreenCapture(clock, ":" + std::to_string(number));
  TScreenPicture picture;
  EXPECT_EQ(capture->Capture(64, 48, picture), TCaptureStatus::NoDisplay);
  EXPECT_NE(capture->LastError().find(":" + std::to_string(number)), std::string::npos)
      << capture->LastError();
  EXPECT_EQ(capture->TakeNotice(), capture->LastError());
  EXPECT_EQ(capture->TakeNotice(), "");

  const XvfbDisplay xvfb(number, {64, 48, 24});
  // The display is there now, but the last attempt was less than a second ago.
  EXPECT_EQ(capture->Capture(64, 48, picture), TCaptureStatus::NoDisplay);
  clock.tick += 999;
  EXPECT_EQ(capture->Open(), TCaptureStatus::NoDisplay);
  EXPECT_EQ(capture->TakeNotice(), "");

  clock.tick += 1;
  ASSERT_EQ(capture->Capture(64, 48, picture), TCaptureStatus::Ok) << capture->LastError();
  EXPECT_EQ(picture.width, 64);
  EXPECT_NE(capture->TakeNotice().find("capturing"), std::string::npos);
}

TEST(ScreenCapture, SurvivesTheServerGoingAwayAndResumesOnItsReturn) {
  const int number = UnusedDisplayNumber();
  auto xvfb = std::make_unique<XvfbDisplay>(number, XvfbDisplay::Screen{kWidth, kHeight, 24});
  TWrapClock clock;
  const auto capture = CreateScreenCapture(clock, xvfb->Name());
  TScreenPicture picture;
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok) << capture->LastError();
  while (!capture->TakeNotice().empty()) {
  }

  xvfb->Kill();
  EXPECT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::NoDisplay);
  EXPECT_NE(capture->LastError().find("lost"), std::string::npos) << capture->LastError();
  EXPECT_FALSE(capture->TakeNotice().empty());
  clock.tick += 1000;
  EXPECT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::NoDisplay);
  EXPECT_EQ(capture->TakeNotice(), "") << "one notice per outage";

  // Back, smaller: the target size stays and the new screen is stretched onto it.
  xvfb = std::make_unique<XvfbDisplay>(number, XvfbDisplay::Screen{320, 240, 16});
  {
    TestScreen screen(xvfb->Name());
    screen.Fill(0, 0, 320, 240, kBlue);
    screen.Fill(0, 0, 160, 120, kGreen);
    screen.Sync();
    clock.tick += 1000;
    ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok)
        << capture->LastError();
  }
  EXPECT_EQ(capture->Width(), 320);
  EXPECT_EQ(capture->Height(), 240);
  ASSERT_EQ(picture.width, kWidth);
  ASSERT_EQ(picture.height, kHeight);
  EXPECT_EQ(PixelAt(picture, 310, 230), kGreen);
  EXPECT_EQ(PixelAt(picture, 330, 250), kBlue);
  EXPECT_NE(capture->TakeNotice().find("capturing"), std::string::npos);
}

TEST(ScreenCapture, FollowsTheScreenSizeWhileCapturing) {
  const XvfbDisplay xvfb({kWidth, kHeight, 24});
  TestScreen screen(xvfb.Name());
  screen.Fill(0, 0, kWidth, kHeight, kRed);
  screen.Sync();
  TWrapClock clock;
  const auto capture = CreateScreenCapture(clock, xvfb.Name());
  TScreenPicture picture;
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok) << capture->LastError();
  while (!capture->TakeNotice().empty()) {
  }

  screen.Resize(320, 240);
  screen.Fill(0, 0, 320, 240, kBlue);
  screen.Fill(0, 0, 160, 120, kGreen);
  screen.Sync();
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok) << capture->LastError();
  EXPECT_EQ(capture->Width(), 320);
  EXPECT_EQ(capture->Height(), 240);
  ASSERT_EQ(picture.width, kWidth);
  ASSERT_EQ(picture.height, kHeight);
  EXPECT_EQ(PixelAt(picture, 310, 230), kGreen);
  EXPECT_EQ(PixelAt(picture, 330, 250), kBlue);
  EXPECT_EQ(PixelAt(picture, kWidth - 1, kHeight - 1), kBlue);
  EXPECT_NE(capture->TakeNotice().find("320x240"), std::string::npos);

  screen.Resize(kWidth, kHeight);
  screen.Fill(0, 0, kWidth, kHeight, kYellow);
  screen.Sync();
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok) << capture->LastError();
  EXPECT_EQ(capture->Width(), kWidth);
  EXPECT_EQ(PixelAt(picture, kWidth - 1, kHeight - 1), kYellow);
}

TEST(ScreenCapture, RejectsImpossibleTargetSizes) {
  TWrapClock clock;
  const auto capture = CreateScreenCapture(clock, ":" + std::to_string(UnusedDisplayNumber()));
  TScreenPicture picture;
  for (const auto& [width, height] : {std::pair{0, 480}, {640, -1}, {20000, 100}}) {
    EXPECT_EQ(capture->Capture(width, height, picture), TCaptureStatus::Failed);
    EXPECT_NE(capture->LastError().find(std::to_string(width) + "x" + std::to_string(height)),
              std::string::npos)
        << capture->LastError();
  }
  EXPECT_EQ(picture.pixels, nullptr);
}

}  // namespace
