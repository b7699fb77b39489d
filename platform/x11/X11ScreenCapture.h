// Screen capture on an X11 display with Xlib: MIT-SHM reads when possible, XFIXES for the
// pointer, every common depth expanded to 32 bits.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "ScreenCapture.h"
#include "x11/PixelExpansion.h"

namespace platform::x11 {

class TX11Connection;
class TX11ScreenGrabber;
struct TGrabbedRows;

class TX11ScreenCapture final : public TScreenCapture {
 public:
  // displayName empty: the DISPLAY variable at the time of each connection attempt. The clock
  // must outlive the capture.
  TX11ScreenCapture(const TClock& clock, std::string displayName);
  ~TX11ScreenCapture() override;

  TCaptureStatus Open() override;
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  TCaptureStatus Capture(int targetWidth, int targetHeight, TScreenPicture& picture) override;
  const std::string& LastError() const override { return lastError_; }
  std::string TakeNotice() override;

 private:
  TCaptureStatus Connect(std::uint32_t now);
  TCaptureStatus ConnectionLost();
  void Disconnect();
  bool ReadScreenSize();
  bool ToArgb(const TGrabbedRows& rows);
  bool LoadPalette(const TGrabbedRows& rows);
  void DrawPointer();
  std::string Describe() const;

  // Records the outcome; a line for the log only when the status changes or `always` is set.
  TCaptureStatus Report(TCaptureStatus status, const std::string& text, bool always = false);

  const TClock& clock_;
  std::string requestedName_;
  std::unique_ptr<TX11Connection> connection_;
  std::unique_ptr<TX11ScreenGrabber> grabber_;
  bool hasXFixes_ = false;
  int width_ = 0;
  int height_ = 0;

  bool attempted_ = false;
  std::uint32_t lastAttempt_ = 0;

  TPixelExpander expander_;
  TPixelLayout expanderLayout_;
  bool expanderByMasks_ = false;
  std::vector<std::uint32_t> palette_;
  std::vector<std::uint8_t> expanded_;
  std::vector<std::uint8_t> scaled_;
  // The full-size 32-bit picture of the current capture: the read itself or expanded_.
  std::uint8_t* whole_ = nullptr;
  int wholeStride_ = 0;

  TCaptureStatus reported_ = TCaptureStatus::Ok;
  bool reportedAny_ = false;
  std::string lastError_;
  std::deque<std::string> notices_;
};

}  // namespace platform::x11
