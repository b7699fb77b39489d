// What a screen capture is, whatever the windowing system. Each backend folder (x11/, ...)
// implements it and provides CreateScreenCapture.
#pragma once

#include <cstddef>
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

// Which rows of a target picture changed between the last successful capture at that target size
// and now, so that a still screen need not be read, converted or encoded again.
struct TScreenChange {
  // False: not known (first capture, new screen or target size, a backend that cannot tell);
  // treat every row as changed.
  bool known = false;
  // Rows [top, bottom) of the target picture changed, widened to even rows (the bottom may be the
  // picture's odd height); top == bottom: nothing changed.
  int top = 0;
  int bottom = 0;
  bool Nothing() const { return known && top >= bottom; }
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

  // Captures as CaptureInBands, but only the rows [top, bottom) of the target picture, e.g. the
  // band ChangeSinceLastCapture reported: the sink sees bands from `top` (rounded down to even) to
  // `bottom`, each with its row in the whole picture. The range is clipped to the picture; an
  // empty one reads nothing. This default captures everything and hands over only the rows inside.
  virtual TCaptureStatus CaptureRowsInBands(int targetWidth, int targetHeight, int top, int bottom,
                                            int maxBandRows, const TBandSink& sink) {
    top = top < 0 ? 0 : top & ~1;
    if (bottom > targetHeight) bottom = targetHeight;
    if (top >= bottom) return TCaptureStatus::Ok;
    return CaptureInBands(targetWidth, targetHeight, maxBandRows,
                          [&](const TScreenPicture& band, int bandTop) {
                            const int first = bandTop > top ? bandTop : top;
                            const int end = bandTop + band.height < bottom ? bandTop + band.height
                                                                           : bottom;
                            if (first >= end) return;
                            TScreenPicture rows = band;
                            rows.pixels += static_cast<std::ptrdiff_t>(first - bandTop) * band.stride;
                            rows.height = end - first;
                            sink(rows, first);
                          });
  }

  // What changed on the screen since the last successful capture at this target size; asks the
  // screen, reads no pixels. A pointer that moved or changed shape counts where it is drawn (in
  // 1:1 pictures). A capture of only some rows settles only the changes within them. This default
  // knows nothing.
  virtual TScreenChange ChangeSinceLastCapture(int targetWidth, int targetHeight) {
    (void)targetWidth;
    (void)targetHeight;
    return {};
  }

  // Nobody needs pictures for now: a backend may let go of what costs while unwatched (a stream
  // the compositor keeps rendering for). The next Open or Capture takes it up again.
  virtual void Rest() {}

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
