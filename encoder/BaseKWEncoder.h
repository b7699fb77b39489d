// The abstract encoder channel. Field order and types are part of the library's contract: the
// channel handle points at one of these, and diagnostic tools read the fields through it.
#pragma once

#include <cstdint>

class CBaseKWEncoder {
 public:
  explicit CBaseKWEncoder(int option) : channelOption(option) {}
  CBaseKWEncoder(const CBaseKWEncoder&) = delete;
  CBaseKWEncoder& operator=(const CBaseKWEncoder&) = delete;

  // Virtual slots, in this order.
  virtual void Close() {}
  virtual bool SetVideoParam(int newWidth, int newHeight, int newFrameRate) final;
  virtual ~CBaseKWEncoder() = default;
  virtual bool Open() { return false; }
  virtual int Encode(const uint8_t* source, uint8_t* dest, int colourFormat, int sourceSize,
                     int pictureW, int pictureH, int* keyFrame);

  int SetupEncode(int newFrameRate, int newKeyInterval, int newBitRate);

  int32_t pictureWidth = 352;
  int32_t pictureHeight = 288;
  int32_t pictureColourSpace = -1;
  int32_t width = 352;
  int32_t height = 288;
  int32_t frameRate = 25;
  int32_t keyInterval = 25;
  int32_t bitRate = 131072;
  int32_t channelOption;
  int32_t lastStatus = 0;
  int32_t frameCount = 0;
  int32_t quant = 4;

 protected:
  // Whether a picture handed to Encode can be read safely with the channel's configured size.
  bool PictureFits(const uint8_t* source, const uint8_t* dest, int pictureW, int pictureH) const {
    return source != nullptr && dest != nullptr && pictureW == width && pictureH == height;
  }
};
