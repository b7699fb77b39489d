// Turning the rows of an X image of any depth into the 32-bit pixels the encoder path takes, so
// that 8-, 15-, 16-, 24- and 30-bit desktops share one colour conversion and give the same colours.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace platform::x11 {

// How one pixel is stored in an image's rows.
struct TPixelLayout {
  int bitsPerPixel = 32;  // 8, 16, 24 or 32
  bool mostSignificantByteFirst = false;
  std::uint32_t redMask = 0xFF0000;
  std::uint32_t greenMask = 0x00FF00;
  std::uint32_t blueMask = 0x0000FF;

  friend bool operator==(const TPixelLayout&, const TPixelLayout&) = default;
};

// True when the rows already are libyuv "ARGB" (B, G, R, pad in memory) and need no expansion.
bool IsNativeArgb(const TPixelLayout& layout);

// One output pixel, as a little-endian word: bytes B, G, R, A in memory.
constexpr std::uint32_t Argb(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  return 0xFF000000u | std::uint32_t{red} << 16 | std::uint32_t{green} << 8 | blue;
}

// An n-bit colour component scaled to 8 bits by repeating its bits, so full scale stays full
// scale (31 of 5 bits becomes 255, not 248) and the steps stay even. Components wider than 8 bits
// keep their top 8 bits.
std::uint8_t ScaleComponent(std::uint32_t value, int bits);

class TPixelExpander {
 public:
  // Pixels whose colour is given by the layout's masks (TrueColor and DirectColor visuals).
  // Returns false for a layout it cannot read.
  bool UseMasks(const TPixelLayout& layout);

  // Pixels that index a colour map (PseudoColor and the other map-based visuals); palette[i] is
  // the Argb colour of pixel value i, values past its end are black. At most 16 bits per pixel.
  bool UsePalette(const TPixelLayout& layout, std::span<const std::uint32_t> palette);

  // Converts height rows of width pixels. The destination holds width * 4 bytes per row.
  void Expand(const std::uint8_t* source, int sourceStride, int width, int height,
              std::uint8_t* destination, int destinationStride) const;

 private:
  struct TComponent {
    std::uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
  };

  void ExpandRow(const std::uint8_t* source, int width, std::uint32_t* out) const;
  std::uint32_t FromMasks(std::uint32_t pixel) const;

  TPixelLayout layout_;
  TComponent red_, green_, blue_;
  // Colour of every pixel value when pixels have at most 16 bits; empty otherwise.
  std::vector<std::uint32_t> table_;
};

}  // namespace platform::x11
