// Moving synthetic desktop-like content for encoder tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

// Planar 4:2:0 picture, luma first, then the V plane, then the U plane (the program's layout).
// Consecutive indices give smooth motion: scrolling bars, a moving box and a textured panel.
std::vector<uint8_t> MakeMovingPicture(int width, int height, int index);
