// Stand-ins for the desktop encoder's surroundings: a screen that paints moving colour bands, a
// clock the test moves by hand, a binding that can be told to fail, and a log in a temporary file.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "capture/DesktopEncoder.h"
#include "capture/EncoderBinding.h"
#include "log/ServiceLog.h"
#include "platform/Clock.h"
#include "platform/ScreenCapture.h"
#include "tests/support/FakeClock.h"
#include "tests/support/OrxEncoderLibrary.h"
#include "tests/support/Subprocess.h"

// The desktop encoder's tests start at this time and tick.
class TEncoderClock : public FakeClock {
 public:
  TEncoderClock() : FakeClock({2026, 12, 7, 10, 30, 15, 250}, 1000) {}
};

// Polls once per frame interval, moving the clock on, so that every poll encodes.
inline void PollEveryInterval(TDesktopEncoder& encoder, FakeClock& clock, int polls) {
  for (int i = 0; i < polls; ++i) {
    encoder.Poll();
    clock.tick += encoder.FrameInterval();
  }
}

// Left half red, right half blue, a white band moving down: every picture differs, and the colours
// sit in known places.
class FakeScreen : public platform::TScreenCapture {
 public:
  FakeScreen(int width, int height) : width_(width), height_(height) {}
  platform::TCaptureStatus Open() override { return available ? Ok() : NoDisplay(); }
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  platform::TCaptureStatus Capture(int targetWidth, int targetHeight,
                                   platform::TScreenPicture& picture) override {
    if (!available) return NoDisplay();
    ++captures;
    pixels_.assign(static_cast<size_t>(targetWidth) * static_cast<size_t>(targetHeight) * 4, 0);
    const int band = (captures * 8) % targetHeight;
    for (int y = 0; y < targetHeight; ++y) {
      for (int x = 0; x < targetWidth; ++x) {
        uint8_t* p = &pixels_[(static_cast<size_t>(y) * static_cast<size_t>(targetWidth) +
                               static_cast<size_t>(x)) *
                              4];
        const bool white = y >= band && y < band + 4;
        const bool left = x < targetWidth / 2;
        p[0] = white ? 255 : (left ? 0 : 255);  // B
        p[1] = white ? 255 : 0;                 // G
        p[2] = white ? 255 : (left ? 255 : 0);  // R
        p[3] = 255;
      }
    }
    picture = {pixels_.data(), targetWidth * 4, targetWidth, targetHeight};
    return Ok();
  }
  // With bandRows set, hands the picture over in bands of that many rows (the last one shorter),
  // as a screen read band by band does.
  platform::TCaptureStatus CaptureInBands(int targetWidth, int targetHeight, int maxBandRows,
                                          const TBandSink& sink) override {
    if (bandRows <= 0)
      return TScreenCapture::CaptureInBands(targetWidth, targetHeight, maxBandRows, sink);
    platform::TScreenPicture whole;
    const platform::TCaptureStatus status = Capture(targetWidth, targetHeight, whole);
    if (status != platform::TCaptureStatus::Ok) return status;
    for (int top = 0; top < whole.height; top += bandRows) {
      const int rows = std::min(bandRows, whole.height - top);
      sink({whole.pixels + static_cast<size_t>(top) * static_cast<size_t>(whole.stride),
            whole.stride, whole.width, rows},
           top);
    }
    return status;
  }
  const std::string& LastError() const override { return error_; }
  std::string TakeNotice() override { return std::exchange(notice_, {}); }

  bool available = true;
  int bandRows = 0;
  std::atomic<int> captures{0};

 private:
  platform::TCaptureStatus Ok() { return platform::TCaptureStatus::Ok; }
  platform::TCaptureStatus NoDisplay() {
    notice_ = "screen capture: no display";
    error_ = "no display";
    return platform::TCaptureStatus::NoDisplay;
  }
  int width_, height_;
  std::vector<uint8_t> pixels_;
  std::string error_, notice_;
};

// The real library, with encoding failures on demand. Closes the channels it made, which the
// program itself never does.
class TestBinding : public EncoderBinding {
 public:
  explicit TestBinding(const std::string& path = ORXENCODER_PATH) : EncoderBinding(path) {}
  ~TestBinding() override {
    OrxEncoderLibrary library;
    for (OrxEnHandle h : channels_) library.CloseChannel(h);
  }
  OrxEnHandle CreateChannel(int encoderType, int option) const override {
    OrxEnHandle h = EncoderBinding::CreateChannel(encoderType, option);
    if (IsEncoderChannel(h)) channels_.push_back(h);
    return h;
  }
  int Encode(OrxEnHandle channel, const void* source, void* dest, int colourFormat, int sourceSize,
             int width, int height, int* keyFrame) const override {
    ++encodeCalls;
    if (failEncodes > 0) {
      --failEncodes;
      return 0;
    }
    return EncoderBinding::Encode(channel, source, dest, colourFormat, sourceSize, width, height,
                                  keyFrame);
  }
  mutable int failEncodes = 0;
  mutable int encodeCalls = 0;

 private:
  mutable std::vector<OrxEnHandle> channels_;
};

class TempLog {
 public:
  TempLog() : file_("encoder.log"), log_(file_.path(), clock_, nullptr) { log_.StartLog(); }
  TServiceLogFile& get() { return log_; }
  std::string Text() const {
    std::ifstream in(file_.path(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  TempFile file_;
  TEncoderClock clock_;
  TServiceLogFile log_;
};
