#include "capture/JpegPicture.h"

#include <gtest/gtest.h>

#include <cstdio>  // before jpeglib.h, which uses FILE

#include <jpeglib.h>

namespace {

constexpr int kWidth = 64, kHeight = 48, kStride = kWidth * 4 + 12;  // padded rows, as captured
// Red, green, blue and white quadrants, as R, G, B.
constexpr std::uint8_t kColours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
int Quadrant(int x, int y) {
  return (x >= kWidth / 2 ? 1 : 0) + (y >= kHeight / 2 ? 2 : 0);
}

TEST(JpegPictureTest, DecodesToThePictureItWasMadeFrom) {
  std::vector<std::uint8_t> pixels(kStride * kHeight);
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const int y = static_cast<int>(i) / kStride, x = static_cast<int>(i) % kStride / 4;
    const std::size_t c = i % 4;  // B, G, R, X
    pixels[i] = c < 3 && x < kWidth ? kColours[Quadrant(x, y)][2 - c] : 0;
  }
  std::vector<std::uint8_t> jpeg = EncodeJpeg({pixels.data(), kStride, kWidth, kHeight}, 90);
  jpeg_decompress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), jpeg.size());
  ASSERT_EQ(jpeg_read_header(&info, TRUE), JPEG_HEADER_OK);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  ASSERT_EQ(std::pair(info.output_width, info.output_height), std::pair(64U, 48U));
  std::vector<std::uint8_t> rgb(kWidth * kHeight * 3);
  for (JSAMPROW row = rgb.data(); info.output_scanline < info.output_height; row += kWidth * 3)
    jpeg_read_scanlines(&info, &row, 1);
  jpeg_destroy_decompress(&info);
  // Away from the edges between quadrants, where 4:2:0 blurs the colours.
  for (const auto& [x, y] : {std::pair{8, 8}, {56, 8}, {8, 40}, {56, 40}})
    for (int c = 0; c < 3; ++c)
      EXPECT_NEAR(rgb[std::size_t((y * kWidth + x) * 3 + c)], kColours[Quadrant(x, y)][c], 16)
          << x << "," << y << " channel " << c;
}

TEST(JpegPictureTest, MalformedPicturesGiveNothing) {
  std::vector<std::uint8_t> pixels(kStride * kHeight, 0);
  const platform::TScreenPicture cases[] = {
      {nullptr, kStride, kWidth, kHeight},  {pixels.data(), kStride, 0, kHeight},
      {pixels.data(), kStride, kWidth, -1}, {pixels.data(), kWidth * 4 - 1, kWidth, kHeight},
      {pixels.data(), 70000 * 4, 70000, 1},
  };
  for (const auto& picture : cases)
    EXPECT_TRUE(EncodeJpeg(picture).empty()) << picture.width << "x" << picture.height;
}

}  // namespace
