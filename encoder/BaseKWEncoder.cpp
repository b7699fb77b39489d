#include "BaseKWEncoder.h"

#include "OrxEncoder.h"

bool CBaseKWEncoder::SetVideoParam(int newWidth, int newHeight, int newFrameRate) {
  if (newWidth == width && newHeight == height && newFrameRate == frameRate) return true;
  Close();
  width = newWidth;
  height = newHeight;
  // One key frame per second follows the frame rate.
  if (newFrameRate > 0) {
    frameRate = newFrameRate;
    keyInterval = newFrameRate;
  }
  return Open();
}

int CBaseKWEncoder::SetupEncode(int newFrameRate, int newKeyInterval, int newBitRate) {
  if (newFrameRate == frameRate && newKeyInterval == keyInterval && newBitRate == bitRate) return 1;
  Close();
  if (newFrameRate > 0) frameRate = newFrameRate;
  if (newKeyInterval > 0) keyInterval = newKeyInterval;
  if (newBitRate > 0) bitRate = newBitRate;
  Open();
  return 1;
}

int CBaseKWEncoder::Encode(const uint8_t*, uint8_t*, int, int, int, int, int*) {
  return 0;
}
