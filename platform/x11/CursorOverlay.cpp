#include "platform/x11/CursorOverlay.h"

#include <algorithm>
#include <cstddef>

namespace platform::x11 {

namespace {

// source + destination * (1 - alpha), with the source already multiplied by alpha. A source
// larger than its alpha (not truly premultiplied) is limited rather than wrapped.
std::uint8_t Over(std::uint32_t source, std::uint32_t destination, std::uint32_t alpha) {
  const std::uint32_t value = source + (destination * (255 - alpha) + 127) / 255;
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
}

}  // namespace

void DrawCursor(const TCursorImage& cursor, std::uint8_t* pixels, int stride, int width,
                int height) {
  if (!cursor.pixels || cursor.width <= 0 || cursor.height <= 0) return;
  const int firstX = std::max(0, -cursor.left);
  const int firstY = std::max(0, -cursor.top);
  const int endX = std::min(cursor.width, width - cursor.left);
  const int endY = std::min(cursor.height, height - cursor.top);
  for (int y = firstY; y < endY; ++y) {
    const unsigned long* source = cursor.pixels + static_cast<std::ptrdiff_t>(y) * cursor.width;
    std::uint8_t* row = pixels + static_cast<std::ptrdiff_t>(cursor.top + y) * stride;
    for (int x = firstX; x < endX; ++x) {
      const auto argb = static_cast<std::uint32_t>(source[x] & 0xFFFFFFFFu);
      const std::uint32_t alpha = argb >> 24;
      if (alpha == 0 && (argb & 0xFFFFFF) == 0) continue;
      std::uint8_t* p = row + static_cast<std::ptrdiff_t>(cursor.left + x) * 4;
      p[0] = Over(argb & 0xFF, p[0], alpha);
      p[1] = Over(argb >> 8 & 0xFF, p[1], alpha);
      p[2] = Over(argb >> 16 & 0xFF, p[2], alpha);
    }
  }
}

}  // namespace platform::x11
