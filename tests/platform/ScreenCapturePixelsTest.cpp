// Pixel layouts and pointer blending that a local Xvfb does not produce: servers of the other byte
// order, packed 24-bit pixels, partly transparent pointers, pointers half off the screen.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/CursorOverlay.h"
#include "platform/x11/PixelExpansion.h"

namespace {

using platform::x11::Argb;
using platform::x11::DrawCursor;
using platform::x11::ScaleComponent;
using platform::x11::TCursorImage;
using platform::x11::TPixelExpander;
using platform::x11::TPixelLayout;

TEST(ScreenCapturePixels, ComponentsReachFullScaleByRepeatingTheirBits) {
  const struct {
    std::uint32_t value;
    int bits;
    std::uint8_t expected;
  } cases[] = {
      {31, 5, 255}, {16, 5, 132},     {1, 5, 8},        {63, 6, 255},    {32, 6, 130}, {1, 1, 255},
      {1, 2, 0x55}, {0x3FF, 10, 255}, {0x200, 10, 128}, {0xAB, 8, 0xAB}, {0, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ScaleComponent(c.value, c.bits), c.expected)
        << c.value << " of " << c.bits << " bits";
}

struct LayoutCase {
  std::string name;
  TPixelLayout layout;
  std::vector<std::uint8_t> row;  // two pixels
  std::uint32_t first;
  std::uint32_t second;
};

TEST(ScreenCapturePixels, EveryLayoutGivesTheSameColours) {
  const LayoutCase cases[] = {
      {"5-6-5 LSB first",
       {16, false, 0xF800, 0x07E0, 0x001F},
       {0x00, 0xF8, 0x1F, 0x00},
       Argb(255, 0, 0),
       Argb(0, 0, 255)},
      {"5-6-5 MSB first",
       {16, true, 0xF800, 0x07E0, 0x001F},
       {0xF8, 0x00, 0x07, 0xE0},
       Argb(255, 0, 0),
       Argb(0, 255, 0)},
      {"5-5-5 LSB first",
       {16, false, 0x7C00, 0x03E0, 0x001F},
       {0xE0, 0x03, 0x10, 0x42},
       Argb(0, 255, 0),
       Argb(132, 132, 132)},
      {"packed 24 LSB first",
       {24, false, 0xFF0000, 0x00FF00, 0x0000FF},
       {0x10, 0x20, 0x30, 0xFF, 0x00, 0x80},
       Argb(0x30, 0x20, 0x10),
       Argb(0x80, 0x00, 0xFF)},
      {"packed 24 MSB first",
       {24, true, 0xFF0000, 0x00FF00, 0x0000FF},
       {0x30, 0x20, 0x10, 0x80, 0x00, 0xFF},
       Argb(0x30, 0x20, 0x10),
       Argb(0x80, 0x00, 0xFF)},
      {"32 MSB first",
       {32, true, 0xFF0000, 0x00FF00, 0x0000FF},
       {0x00, 0x30, 0x20, 0x10, 0x00, 0xFF, 0xFF, 0xFF},
       Argb(0x30, 0x20, 0x10),
       Argb(255, 255, 255)},
      {"32 blue high",
       {32, false, 0x0000FF, 0x00FF00, 0xFF0000},
       {0x30, 0x20, 0x10, 0x00, 0xFF, 0x00, 0x00, 0x00},
       Argb(0x30, 0x20, 0x10),
       Argb(255, 0, 0)},
      {"10-10-10",
       {32, false, 0x3FF00000, 0x000FFC00, 0x000003FF},
       {0x00, 0x00, 0xF0, 0x3F, 0xFF, 0x03, 0x00, 0x00},
       Argb(255, 0, 0),
       Argb(0, 0, 255)},
      {"3-3-2 true colour",
       {8, false, 0x07, 0x38, 0xC0},
       {0x07, 0xC0},
       Argb(255, 0, 0),
       Argb(0, 0, 255)},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    TPixelExpander expander;
    ASSERT_TRUE(expander.UseMasks(c.layout));
    std::uint32_t out[2] = {};
    expander.Expand(c.row.data(), static_cast<int>(c.row.size()), 2, 1,
                    reinterpret_cast<std::uint8_t*>(out), 8);
    EXPECT_EQ(out[0], c.first) << std::hex << out[0];
    EXPECT_EQ(out[1], c.second) << std::hex << out[1];
  }
}

TEST(ScreenCapturePixels, RowsAreReadAtTheirStrideAndWrittenAtOurs) {
  // Three 16-bit pixels in rows padded to 8 bytes; output rows padded to 16 bytes.
  const std::uint8_t rows[] = {0x00, 0xF8, 0x00, 0xF8, 0x00, 0xF8, 0xEE, 0xEE,
                               0x1F, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0xEE, 0xEE};
  TPixelExpander expander;
  ASSERT_TRUE(expander.UseMasks({16, false, 0xF800, 0x07E0, 0x001F}));
  std::vector<std::uint32_t> out(8, 0x12345678);
  expander.Expand(rows, 8, 3, 2, reinterpret_cast<std::uint8_t*>(out.data()), 16);
  const std::vector<std::uint32_t> expected = {Argb(255, 0, 0), Argb(255, 0, 0), Argb(255, 0, 0),
                                               0x12345678,      Argb(0, 0, 255), Argb(0, 0, 255),
                                               Argb(0, 0, 255), 0x12345678};
  EXPECT_EQ(out, expected);
}

TEST(ScreenCapturePixels, ColourMapPixelsTakeTheirMapEntry) {
  const std::vector<std::uint32_t> palette = {Argb(0, 0, 0), Argb(10, 20, 30), Argb(255, 128, 0)};
  TPixelExpander expander;
  ASSERT_TRUE(expander.UsePalette({8, false, 0, 0, 0}, palette));
  const std::uint8_t row[] = {2, 1, 0, 200};
  std::uint32_t out[4] = {};
  expander.Expand(row, 4, 4, 1, reinterpret_cast<std::uint8_t*>(out), 16);
  EXPECT_EQ(out[0], Argb(255, 128, 0));
  EXPECT_EQ(out[1], Argb(10, 20, 30));
  EXPECT_EQ(out[2], Argb(0, 0, 0));
  EXPECT_EQ(out[3], Argb(0, 0, 0)) << "past the map's end";
}

TEST(ScreenCapturePixels, UnreadableLayoutsAreRefused) {
  TPixelExpander expander;
  EXPECT_FALSE(expander.UseMasks({1, false, 0, 0, 0}));
  EXPECT_FALSE(expander.UseMasks({12, false, 0xF00, 0x0F0, 0x00F}));
  EXPECT_FALSE(expander.UsePalette({24, false, 0, 0, 0}, {}));
}

// A 4 x 3 picture, every pixel B=200 G=100 R=50.
std::vector<std::uint8_t> Background() {
  std::vector<std::uint8_t> picture(4 * 3 * 4);
  for (std::size_t i = 0; i < picture.size(); i += 4) {
    picture[i] = 200;
    picture[i + 1] = 100;
    picture[i + 2] = 50;
  }
  return picture;
}

std::uint32_t At(const std::vector<std::uint8_t>& picture, int x, int y) {
  const std::size_t i = static_cast<std::size_t>((y * 4 + x) * 4);
  return std::uint32_t{picture[i + 2]} << 16 | std::uint32_t{picture[i + 1]} << 8 | picture[i];
}

TEST(ScreenCapturePixels, PointerBlendsPremultipliedOverThePicture) {
  // Opaque white, fully transparent, half-transparent red (premultiplied: 128 of 255 alpha).
  const unsigned long pointer[] = {0xFFFFFFFFul, 0x00000000ul, 0x80800000ul};
  auto picture = Background();
  DrawCursor(TCursorImage{pointer, 3, 1, 1, 1}, picture.data(), 16, 4, 3);
  EXPECT_EQ(At(picture, 1, 1), 0xFFFFFFu);
  EXPECT_EQ(At(picture, 2, 1), 0x3264C8u) << "untouched under a transparent pixel";
  // Red 128 + 50 * 127 / 255, green 100 * 127 / 255, blue 200 * 127 / 255.
  EXPECT_EQ(At(picture, 3, 1), std::uint32_t{153} << 16 | 50 << 8 | 100);
  EXPECT_EQ(At(picture, 0, 1), 0x3264C8u);
  EXPECT_EQ(At(picture, 1, 0), 0x3264C8u);
}

TEST(ScreenCapturePixels, PointerIsClippedAtEveryEdge) {
  std::vector<unsigned long> pointer(3 * 3, 0xFF000000ul);  // opaque black
  const struct {
    int left, top;
    std::vector<std::pair<int, int>> covered;
  } cases[] = {
      {-2, -2, {{0, 0}}}, {3, 2, {{3, 2}}}, {-1, 1, {{0, 1}, {1, 1}, {0, 2}, {1, 2}}},
      {-3, 0, {}},        {4, 0, {}},       {0, 3, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pointer at " + std::to_string(c.left) + "," + std::to_string(c.top));
    auto picture = Background();
    DrawCursor(TCursorImage{pointer.data(), 3, 3, c.left, c.top}, picture.data(), 16, 4, 3);
    int black = 0;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) black += At(picture, x, y) == 0;
    EXPECT_EQ(black, static_cast<int>(c.covered.size()));
    for (const auto& [x, y] : c.covered) EXPECT_EQ(At(picture, x, y), 0u) << x << "," << y;
  }
}

}  // namespace
