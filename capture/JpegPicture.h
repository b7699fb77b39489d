// JPEG pictures of the screen, for the ONVIF snapshot.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ScreenCapture.h"

// The picture (B, G, R, A bytes per pixel; A ignored) as a baseline JPEG of the same size, 4:2:0,
// at `quality` 1-100. Empty for an empty or malformed picture (no pixels, a stride shorter than a
// row, sides past what JPEG can hold) or when the library fails; it never ends the process.
std::vector<std::uint8_t> EncodeJpeg(const platform::TScreenPicture& picture, int quality = 85);
