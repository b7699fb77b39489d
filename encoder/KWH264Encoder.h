// H.264 channel over libx264, tuned for live streaming: one access unit out per picture in,
// Annex B, and parameter sets in front of every IDR picture so a joining viewer can start there.
#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <x264.h>
}

#include "BaseKWEncoder.h"

class CKWH264Encoder final : public CBaseKWEncoder {
 public:
  explicit CKWH264Encoder(int option) : CBaseKWEncoder(option) {}
  ~CKWH264Encoder() override;

  void Close() override;
  bool Open() override;
  int Encode(const uint8_t* source, uint8_t* dest, int colourFormat, int sourceSize, int pictureW,
             int pictureH, int* keyFrame) override;

 private:
  struct EncoderCloser {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
  };

  // Presets and profiles leave strings inside the record that only libx264 can free.
  struct ParamsDeleter {
    void operator()(x264_param_t* p) const {
      x264_param_cleanup(p);
      delete p;
    }
  };

  std::unique_ptr<x264_t, EncoderCloser> encoderHandle;
  std::unique_ptr<x264_param_t, ParamsDeleter> params;
  std::unique_ptr<x264_picture_t> pictureIn;
  std::unique_ptr<x264_picture_t> pictureOut;
  x264_nal_t* nals = nullptr;
  int nalCount = 0;
};
