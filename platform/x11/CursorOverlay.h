// Drawing the mouse pointer into a captured picture. Servers keep the pointer out of screen reads
// (it is a hardware sprite or removed before the read), so the capture has to add it.
#pragma once

#include <cstdint>

namespace platform::x11 {

// A pointer image as the XFIXES extension hands it out: one premultiplied ARGB word per pixel,
// each in an unsigned long (64 bits wide on LP64 systems, only the low 32 used).
struct TCursorImage {
  const unsigned long* pixels = nullptr;
  int width = 0;
  int height = 0;
  // Where the image's top-left corner lands in the picture: the pointer position less the
  // hotspot, so the hotspot, not the corner, lies on the position.
  int left = 0;
  int top = 0;
};

// Blends the image over a picture of 32-bit B, G, R, A pixels, clipped to the picture.
void DrawCursor(const TCursorImage& cursor, std::uint8_t* pixels, int stride, int width,
                int height);

}  // namespace platform::x11
