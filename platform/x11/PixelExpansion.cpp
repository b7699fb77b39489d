#include "platform/x11/PixelExpansion.h"

#include <libyuv/convert_argb.h>

#include <bit>
#include <cstddef>

namespace platform::x11 {

// Output pixels are built as words whose memory bytes must come out B, G, R, A.
static_assert(std::endian::native == std::endian::little);

namespace {

bool ReadableBitsPerPixel(int bits) {
  return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

std::uint32_t ReadPixel(const std::uint8_t* p, int bitsPerPixel, bool msbFirst) {
  switch (bitsPerPixel) {
    case 8:
      return p[0];
    case 16:
      return msbFirst ? (std::uint32_t{p[0]} << 8 | p[1]) : (std::uint32_t{p[1]} << 8 | p[0]);
    case 24:
      return msbFirst ? (std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2])
                      : (std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
    default:
      return msbFirst ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 |
                         std::uint32_t{p[2]} << 8 | p[3])
                      : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 |
                         std::uint32_t{p[1]} << 8 | p[0]);
  }
}

bool IsStandardTrueColor(const TPixelLayout& layout) {
  return layout.redMask == 0xFF0000 && layout.greenMask == 0x00FF00 && layout.blueMask == 0x0000FF;
}

}  // namespace

bool IsNativeArgb(const TPixelLayout& layout) {
  return layout.bitsPerPixel == 32 && !layout.mostSignificantByteFirst &&
         IsStandardTrueColor(layout);
}

std::uint8_t ScaleComponent(std::uint32_t value, int bits) {
  if (bits <= 0) return 0;
  if (bits >= 8) return static_cast<std::uint8_t>(value >> (bits - 8));
  std::uint32_t repeated = 0;
  int filled = 0;
  while (filled < 8) {
    repeated = repeated << bits | value;
    filled += bits;
  }
  return static_cast<std::uint8_t>(repeated >> (filled - 8));
}

bool TPixelExpander::UseMasks(const TPixelLayout& layout) {
  if (!ReadableBitsPerPixel(layout.bitsPerPixel)) return false;
  layout_ = layout;
  auto component = [](std::uint32_t mask) {
    TComponent c;
    c.mask = mask;
    c.shift = mask ? std::countr_zero(mask) : 0;
    c.bits = std::popcount(mask);
    return c;
  };
  red_ = component(layout.redMask);
  green_ = component(layout.greenMask);
  blue_ = component(layout.blueMask);
  table_.clear();
  if (layout.bitsPerPixel <= 16) {
    // A table of every pixel value turns the per-pixel shifting into one lookup.
    table_.resize(std::size_t{1} << layout.bitsPerPixel);
    for (std::uint32_t value = 0; value < table_.size(); ++value) table_[value] = FromMasks(value);
  }
  return true;
}

bool TPixelExpander::UsePalette(const TPixelLayout& layout,
                                std::span<const std::uint32_t> palette) {
  if (!ReadableBitsPerPixel(layout.bitsPerPixel) || layout.bitsPerPixel > 16) return false;
  layout_ = layout;
  table_.assign(std::size_t{1} << layout.bitsPerPixel, Argb(0, 0, 0));
  for (std::size_t i = 0; i < palette.size() && i < table_.size(); ++i) table_[i] = palette[i];
  return true;
}

std::uint32_t TPixelExpander::FromMasks(std::uint32_t pixel) const {
  auto scaled = [pixel](const TComponent& c) {
    return ScaleComponent((pixel & c.mask) >> c.shift, c.bits);
  };
  return Argb(scaled(red_), scaled(green_), scaled(blue_));
}

void TPixelExpander::ExpandRow(const std::uint8_t* source, int width, std::uint32_t* out) const {
  const int bytes = layout_.bitsPerPixel / 8;
  const bool msb = layout_.mostSignificantByteFirst;
  if (!table_.empty()) {
    for (int x = 0; x < width; ++x, source += bytes)
      out[x] = table_[ReadPixel(source, layout_.bitsPerPixel, msb)];
  } else {
    for (int x = 0; x < width; ++x, source += bytes)
      out[x] = FromMasks(ReadPixel(source, layout_.bitsPerPixel, msb));
  }
}

void TPixelExpander::Expand(const std::uint8_t* source, int sourceStride, int width, int height,
                            std::uint8_t* destination, int destinationStride) const {
  if (layout_.bitsPerPixel == 24 && !layout_.mostSignificantByteFirst && table_.empty() &&
      IsStandardTrueColor(layout_)) {
    // Packed B, G, R bytes: libyuv's RGB24 has a vector routine for exactly this.
    libyuv::RGB24ToARGB(source, sourceStride, destination, destinationStride, width, height);
    return;
  }
  for (int y = 0; y < height; ++y) {
    // Rows of 32-bit pixels are 4-byte aligned in the buffers this is given.
    auto* out = reinterpret_cast<std::uint32_t*>(destination + static_cast<std::ptrdiff_t>(y) *
                                                                   destinationStride);
    const std::uint8_t* row = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
    ExpandRow(row, width, out);
  }
}

}  // namespace platform::x11
