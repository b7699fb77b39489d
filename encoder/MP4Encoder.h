// MPEG-4 Part 2 (Advanced Simple Profile) channel over xvidcore with one-pass rate control.
#pragma once

#include <cstdint>

#include "BaseKWEncoder.h"

// One-time global start-up of xvidcore; does its work on the first call in the process only.
void StartXvidCore();

class CMP4Encoder final : public CBaseKWEncoder {
 public:
  explicit CMP4Encoder(int option) : CBaseKWEncoder(option) {}
  ~CMP4Encoder() override;

  void Close() override;
  bool Open() override;
  int Encode(const uint8_t* source, uint8_t* dest, int colourFormat, int sourceSize, int pictureW,
             int pictureH, int* keyFrame) override;

 private:
  void* encoderHandle = nullptr;
};
