// Frame type codes carried by frame headers (one byte) and frame packages (32 bits). The desktop
// encoder only produces 2 and 3, but the classes cover every code the header format defines.
#pragma once

#include <cstdint>

inline constexpr uint8_t kKeyVideoFrameType = 2;
inline constexpr uint8_t kOtherVideoFrameType = 3;
inline constexpr uint8_t kAudioFrameType = 5;

// A frame a decoder can start from: 1, 2 and 21 to 24.
bool IsKeyFrameType(uint32_t frameType);

// 1 to 4 and 17 to 24.
bool IsVideoFrameType(uint32_t frameType);

// 5.
bool IsAudioFrameType(uint32_t frameType);
