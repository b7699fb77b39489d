#include "FrameType.h"

bool IsKeyFrameType(uint32_t frameType) {
  return frameType == 1 || frameType == 2 || (frameType >= 21 && frameType <= 24);
}

bool IsVideoFrameType(uint32_t frameType) {
  return (frameType >= 1 && frameType <= 4) || (frameType >= 17 && frameType <= 24);
}

bool IsAudioFrameType(uint32_t frameType) {
  return frameType == kAudioFrameType;
}
