#include "SyntheticPicture.h"

#include <cstddef>

namespace {

uint8_t Texture(int x, int y) {
  // Cheap hash so that the panel carries detail an encoder has to spend bits on.
  uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return static_cast<uint8_t>(h >> 24);
}

}  // namespace

std::vector<uint8_t> MakeMovingPicture(int width, int height, int index) {
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  const size_t lumaSize = w * h;
  const size_t cw = w / 2;
  const size_t ch = h / 2;
  std::vector<uint8_t> picture(lumaSize + 2 * cw * ch);
  uint8_t* luma = picture.data();
  uint8_t* v = luma + lumaSize;
  uint8_t* u = v + cw * ch;

  const int boxSize = height / 4;
  const int boxX = (index * 7) % (width - boxSize > 0 ? width - boxSize : 1);
  const int boxY = (index * 3) % (height - boxSize > 0 ? height - boxSize : 1);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = luma + static_cast<size_t>(y) * w;
    for (int x = 0; x < width; ++x) {
      int value = ((x + index * 4) / 16 % 2) ? 180 : 60;
      value += (y * 64) / (height > 0 ? height : 1);
      if (x >= width / 2 && y >= height / 2) value = Texture(x + index * 2, y);
      if (x >= boxX && x < boxX + boxSize && y >= boxY && y < boxY + boxSize) value = 235;
      row[x] = static_cast<uint8_t>(value > 255 ? 255 : value);
    }
  }
  for (size_t y = 0; y < ch; ++y) {
    for (size_t x = 0; x < cw; ++x) {
      v[y * cw + x] = static_cast<uint8_t>(128 + ((x + static_cast<size_t>(index)) % 64) - 32);
      u[y * cw + x] = static_cast<uint8_t>(128 + (y % 64) - 32);
    }
  }
  return picture;
}
