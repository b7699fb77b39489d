// What a screen capture is, whatever the windowing system. Each backend folder (x11/, ...)
// implements it and provides CreateScreenCapture.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Clock.h"

namespace platform {

enum class TCaptureStatus {
  Ok,
  // No screen to capture right now (none configured, the server unreachable or gone). Not
  // retried more often than once a second; keep calling and capture resumes by itself.
  NoDisplay,
  // The screen is there but this picture could not be taken; the next call tries again.
  Failed,
};

// A captured picture: 32-bit pixels in libyuv "ARGB" byte order (B, G, R, A in memory), rows top
// down and upright. The A byte carries no meaning. Valid until the next Capture or the capture
// object's end.
struct TScreenPicture {
  const std::uint8_t* pixels = nullptr;
  int stride = 0;  // bytes from one row to the next
  int width = 0;
  int height = 0;
};

// One screen of the user's session. Use from one thread at a time.
class TScreenCapture {
 public:
  virtual ~TScreenCapture() = default;

  // Connects to the screen unless connected. Capture calls it as needed; call it directly to learn
  // the screen size before the first capture.
  virtual TCaptureStatus Open() = 0;

  // The screen's full size in physical pixels as last seen; 0 before the first successful Open.
  // It follows the screen when its size changes.
  virtual int Width() const = 0;
  virtual int Height() const = 0;

  // Captures the whole screen at the target size: 1:1 with the mouse pointer drawn in when the
  // target size equals the screen size, otherwise stretched onto the target by nearest pixel,
  // without the pointer. The target size is kept when the screen changes size.
  virtual TCaptureStatus Capture(int targetWidth, int targetHeight, TScreenPicture& picture) = 0;

  // Receives a picture one band of rows at a time, top to bottom: `top` is the band's first row in
  // the whole picture, and every band but the last has an even number of rows (so 4:2:0 chroma
  // rows never straddle two bands). The band's pixels are valid only during the call.
  using TBandSink = std::function<void(const TScreenPicture& band, int top)>;

  // Captures as Capture does, but may read the screen in bands of at most maxBandRows rows
  // (rounded down to even) and hand each to the sink as soon as it is read, so that only one
  // band's worth of screen is held in memory. The bands together make the same picture. This
  // default hands over the whole picture as one band.
  virtual TCaptureStatus CaptureInBands(int targetWidth, int targetHeight, int maxBandRows,
                                        const TBandSink& sink) {
    (void)maxBandRows;
    TScreenPicture picture;
    const TCaptureStatus status = Capture(targetWidth, targetHeight, picture);
    if (status == TCaptureStatus::Ok) sink(picture, 0);
    return status;
  }

  // Why the last call that did not return Ok failed, in English.
  virtual const std::string& LastError() const = 0;

  // Once per change of state (opened, lost, failing, working again), one English line that says
  // what happened; empty when nothing changed since the last call. Meant for the log, so that an
  // unreachable screen yields one line rather than one per retry.
  virtual std::string TakeNotice() = 0;
};

// The capture of this system's screen. screenName names the screen in the backend's own terms (on
// X11 a display name such as ":1"); empty means the session's own screen (on X11 the DISPLAY
// variable). The clock paces the reconnection attempts. Connects on first use, not here.
std::unique_ptr<TScreenCapture> CreateScreenCapture(const TClock& clock,
                                                    const std::string& screenName = {});

// Whether the screen (named as for CreateScreenCapture) can be reached right now, so that a
// program can decide to run without windows on a machine that has none.
bool ScreenReachable(const std::string& screenName = {});

}  // namespace platform
