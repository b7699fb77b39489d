#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/ScreenCapture.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TestScreen.h"
#include "tests/support/WaitUntil.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using platform::TCaptureStatus;
using platform::TScreenChange;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// After each step the change must cover rows [top, bottom) and stay inside [outerTop, outerBottom):
// the screen read for it is a band, not the whole screen.
struct Step {
  const char* what;
  int width, height;  // target
  std::function<void(TestScreen&)> act;
  int top, bottom, outerTop, outerBottom;
};

TEST(ScreenChange, ReportsTheRowsDrawnOnOrUnderThePointerAndReadsJustThem) {
  const XvfbDisplay xvfb({kWidth, kHeight, 24});
  TestScreen screen(xvfb.Name());
  screen.SetPointer(8, 6, 5, {0, 255, 255});
  screen.MovePointer(320, 260);  // image rows 255..262
  screen.Sync();
  FakeClock clock;
  const auto capture = platform::CreateScreenCapture(clock, xvfb.Name());
  EXPECT_FALSE(capture->ChangeSinceLastCapture(kWidth, kHeight).known) << "before any capture";

  const auto fill = [](int top, int rows) {
    return [=](TestScreen& s) { s.Fill(10, top, 50, rows, {255, 0, 0}); };
  };
  const Step steps[] = {
      {"nothing drawn", kWidth, kHeight, [](TestScreen&) {}, 0, 0, 0, 0},
      {"rows 100..140", kWidth, kHeight, fill(100, 40), 100, 140, 100, 140},
      {"odd rows 301..308", kWidth, kHeight, fill(301, 7), 301, 308, 300, 308},
      {"pointer moved up", kWidth, kHeight, [](TestScreen& s) { s.MovePointer(320, 60); }, 55,
       263, 54, 264},
      {"pointer moved sideways", kWidth, kHeight, [](TestScreen& s) { s.MovePointer(200, 60); },
       55, 63, 54, 64},
      // Stretched to half: rows 300..310 land about on 150..155; the pointer no longer counts.
      {"stretched", kWidth / 2, kHeight / 2,
       [&](TestScreen& s) { fill(300, 10)(s); s.MovePointer(100, 400); }, 150, 155, 148, 158},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    platform::TScreenPicture picture;
    ASSERT_EQ(capture->Capture(step.width, step.height, picture), TCaptureStatus::Ok)
        << capture->LastError();
    const TScreenChange still = capture->ChangeSinceLastCapture(step.width, step.height);
    ASSERT_TRUE(still.Nothing()) << still.top << ".." << still.bottom;
    step.act(screen);
    screen.Sync();
    TScreenChange change;
    WaitUntil([&] {
      change = capture->ChangeSinceLastCapture(step.width, step.height);
      return !change.Nothing() || step.top == step.bottom;
    });
    ASSERT_TRUE(change.known);
    EXPECT_LE(change.top, step.top);
    EXPECT_GE(change.bottom, step.bottom);
    EXPECT_GE(change.top, step.outerTop);
    EXPECT_LE(change.bottom, step.outerBottom);
    EXPECT_EQ(change.top % 2, 0);

    // Reading just the band settles it, and the band shows what was drawn.
    int seen = 0;
    const auto sink = [&](const platform::TScreenPicture& band, int top) {
      EXPECT_EQ(top, change.top + seen);
      seen += band.height;
      const int row = 120 - top;  // inside the rectangle at rows 100..140, column 20
      if (step.top == 100 && row >= 0 && row < band.height) {
        EXPECT_EQ(band.pixels[row * band.stride + 4 * 20 + 2], 255);
      }
    };
    ASSERT_EQ(capture->CaptureRowsInBands(step.width, step.height, change.top, change.bottom, 16,
                                          sink),
              TCaptureStatus::Ok);
    EXPECT_EQ(seen, change.bottom - change.top);
    EXPECT_TRUE(capture->ChangeSinceLastCapture(step.width, step.height).Nothing());
  }

  // A new target or screen size is everything again, until a whole capture.
  EXPECT_FALSE(capture->ChangeSinceLastCapture(kWidth, kHeight).known);
  platform::TScreenPicture picture;
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok);
  screen.Resize(320, 240);
  WaitUntil([&] { return !capture->ChangeSinceLastCapture(kWidth, kHeight).known; });
  EXPECT_FALSE(capture->ChangeSinceLastCapture(kWidth, kHeight).known);
  ASSERT_EQ(capture->Capture(kWidth, kHeight, picture), TCaptureStatus::Ok);
  EXPECT_TRUE(capture->ChangeSinceLastCapture(kWidth, kHeight).Nothing());
}

}  // namespace
