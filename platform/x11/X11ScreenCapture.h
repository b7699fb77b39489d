// Screen capture on an X11 display with Xlib: MIT-SHM reads when possible, XFIXES for the
// pointer, DAMAGE for what changed, every common depth expanded to 32 bits.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CaptureNotices.h"
#include "platform/ScreenCapture.h"
#include "platform/x11/PixelExpansion.h"

namespace platform::x11 {

class TX11Connection;
class TX11ScreenGrabber;
class TX11ChangeTracker;
struct TPointerPlace;
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
  TCaptureStatus CaptureInBands(int targetWidth, int targetHeight, int maxBandRows,
                                const TBandSink& sink) override;
  TCaptureStatus CaptureRowsInBands(int targetWidth, int targetHeight, int top, int bottom,
                                    int maxBandRows, const TBandSink& sink) override;
  TScreenChange ChangeSinceLastCapture(int targetWidth, int targetHeight) override;
  const std::string& LastError() const override { return notices_.LastError(); }
  std::string TakeNotice() override;

 private:
  TCaptureStatus Connect(std::uint32_t now);
  TCaptureStatus ConnectionLost();
  void Disconnect();
  bool ReadScreenSize();
  // Connected, the screen size current and a grabber reading bandRows rows at a time (0: all).
  TCaptureStatus Prepare(int targetWidth, int targetHeight, int bandRows);
  TCaptureStatus GrabRows(int top, int count, bool firstOfPicture);
  TCaptureStatus Finish();
  // Finishes a capture that handed over rows [top, bottom) of the target with the pointer drawn
  // at `drawn`, so that those rows count as seen.
  TCaptureStatus Finish(int targetWidth, int targetHeight, int top, int bottom,
                        const TPointerPlace& drawn);
  // Reads the whole screen and stretches it onto rows [top, bottom) of scaled_.
  TCaptureStatus Stretch(int targetWidth, int targetHeight, int top, int bottom);
  bool ToArgb(const TGrabbedRows& rows, bool firstOfPicture);
  bool LoadPalette(const TGrabbedRows& rows);
  struct TPointerDeleter {
    void operator()(XFixesCursorImage* image) const { XFree(image); }
  };
  using TPointerImage = std::unique_ptr<XFixesCursorImage, TPointerDeleter>;
  TPointerImage ReadPointer();
  static TPointerPlace PlaceOf(const TPointerImage& pointer);
  // Draws the pointer into the current rows (whole_), which start at screen row `top`.
  void DrawPointer(const TPointerImage& pointer, int top, int rows);
  std::string Describe() const;

  // Records the outcome; a line for the log only when the status changes or `always` is set.
  TCaptureStatus Report(TCaptureStatus status, const std::string& text, bool always = false);

  const TClock& clock_;
  std::string requestedName_;
  std::unique_ptr<TX11Connection> connection_;
  std::unique_ptr<TX11ScreenGrabber> grabber_;
  std::unique_ptr<TX11ChangeTracker> tracker_;
  bool hasXFixes_ = false;
  int bandRows_ = 0;
  int width_ = 0;
  int height_ = 0;

  bool attempted_ = false;
  std::uint32_t lastAttempt_ = 0;

  TPixelExpander expander_;
  TPixelLayout expanderLayout_;
  bool expanderByMasks_ = false;
  std::vector<std::uint32_t> palette_;
  std::vector<XColor> colorQuery_;
  std::vector<std::uint8_t> expanded_;
  std::vector<std::uint8_t> scaled_;
  // The full-size 32-bit picture of the current capture: the read itself or expanded_.
  std::uint8_t* whole_ = nullptr;
  int wholeStride_ = 0;

  TCaptureNotices notices_{false};
};

}  // namespace platform::x11
