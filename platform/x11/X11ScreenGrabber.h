// Reading the root window's pixels: through one shared memory segment, made once per screen size
// and reused for every read, when the server can attach it; with plain GetImage requests
// otherwise (a display on another machine, or a server without MIT-SHM).
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <memory>

#include "platform/x11/PixelExpansion.h"

namespace platform::x11 {

class TX11Connection;

// The rows of one read and how their pixels are stored. Valid until the next Grab.
struct TGrabbedRows {
  std::uint8_t* pixels = nullptr;  // writable: the pointer is drawn into it in place
  int stride = 0;
  int width = 0;
  int height = 0;
  int depth = 0;
  TPixelLayout layout;
};

class TX11ScreenGrabber {
 public:
  // Reads screens of width x height from the connection's default screen, at most bandRows rows
  // per read (the whole height when bandRows is 0 or larger); the connection must outlive the
  // grabber.
  TX11ScreenGrabber(TX11Connection& connection, int width, int height, int bandRows = 0);
  ~TX11ScreenGrabber();

  TX11ScreenGrabber(const TX11ScreenGrabber&) = delete;
  TX11ScreenGrabber& operator=(const TX11ScreenGrabber&) = delete;

  bool UsesSharedMemory() const { return sharedImage_ != nullptr; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int BandRows() const { return bandRows_; }

  // Reads `count` rows (at most BandRows()) from row `top` down. False when the server refused
  // (the error is on the connection) or the connection broke.
  bool Grab(TGrabbedRows& rows, int top, int count);

 private:
  struct TImageDeleter {
    void operator()(XImage* image) const;
  };
  using TImage = std::unique_ptr<XImage, TImageDeleter>;

  bool AttachSharedMemory();
  void DetachSharedMemory();
  TGrabbedRows Describe(XImage& image) const;

  TX11Connection& connection_;
  int width_;
  int height_;
  int bandRows_;
  XShmSegmentInfo segment_{};
  TImage sharedImage_;
  TImage plainImage_;  // the last plain read, released by the next one
};

}  // namespace platform::x11
