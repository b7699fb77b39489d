#include "platform/x11/X11ScreenCapture.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <utility>

#include "platform/x11/CursorOverlay.h"
#include "platform/x11/X11ChangeTracker.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11ScreenGrabber.h"

namespace platform {

std::unique_ptr<TScreenCapture> CreateScreenCapture(const TClock& clock,
                                                    const std::string& screenName) {
  return std::make_unique<x11::TX11ScreenCapture>(clock, screenName);
}

bool ScreenReachable(const std::string& screenName) {
  return x11::TX11Connection::Open(screenName) != nullptr;
}

}  // namespace platform

namespace platform::x11 {

namespace {

// A server that cannot be reached is asked again after this long, not on every frame: each
// attempt can cost a connection time-out, and the log needs no line per attempt.
constexpr std::uint32_t kRetryIntervalMs = 1000;

// Larger than any picture the encoders accept; keeps the 32-bit buffers within reason.
constexpr int kMaxTargetSide = 16384;

bool IsIndexedVisual(const Visual& visual) {
  return visual.c_class == PseudoColor || visual.c_class == StaticColor ||
         visual.c_class == GrayScale || visual.c_class == StaticGray;
}

std::string Quoted(const std::string& text) {
  return "\"" + text + "\"";
}

}  // namespace

TX11ScreenCapture::TX11ScreenCapture(const TClock& clock, std::string displayName)
    : clock_(clock), requestedName_(std::move(displayName)) {}

TX11ScreenCapture::~TX11ScreenCapture() {
  Disconnect();
}

std::string TX11ScreenCapture::TakeNotice() {
  return notices_.Take();
}

TCaptureStatus TX11ScreenCapture::Report(TCaptureStatus status, const std::string& text,
                                         bool always) {
  // Some bands may have reached the caller and others not.
  if (status != TCaptureStatus::Ok && tracker_) tracker_->Forget();
  notices_.Report(status, text, always);
  return status;
}

TCaptureStatus TX11ScreenCapture::Open() {
  if (connection_) return TCaptureStatus::Ok;
  const std::uint32_t now = clock_.TickCount();
  if (attempted_ && TicksElapsed(lastAttempt_, now) < kRetryIntervalMs)
    return TCaptureStatus::NoDisplay;
  return Connect(now);
}

TCaptureStatus TX11ScreenCapture::Connect(std::uint32_t now) {
  attempted_ = true;
  lastAttempt_ = now;
  std::string name = requestedName_;
  if (name.empty()) {
    const char* variable = std::getenv("DISPLAY");
    if (!variable || !*variable)
      return Report(TCaptureStatus::NoDisplay,
                    "screen capture: DISPLAY is not set, no X display to capture");
    name = variable;
  }
  connection_ = TX11Connection::Open(name);
  if (!connection_)
    return Report(TCaptureStatus::NoDisplay,
                  "screen capture: cannot open X display " + Quoted(name) + ", retrying");
  int eventBase = 0;
  int errorBase = 0;
  hasXFixes_ = XFixesQueryExtension(connection_->Get(), &eventBase, &errorBase) != 0;
  if (!ReadScreenSize()) {
    Disconnect();
    return Report(TCaptureStatus::NoDisplay,
                  "screen capture: X display " + Quoted(name) + " gave no screen size, retrying");
  }
  tracker_ = std::make_unique<TX11ChangeTracker>(*connection_, hasXFixes_);
  return Report(TCaptureStatus::Ok, "screen capture: capturing " + Describe(), true);
}

std::string TX11ScreenCapture::Describe() const {
  Display* display = connection_->Get();
  return "X display " + Quoted(connection_->Name()) + ", " + std::to_string(width_) + "x" +
         std::to_string(height_) + ", depth " +
         std::to_string(XDefaultDepth(display, XDefaultScreen(display))) +
         (grabber_->UsesSharedMemory() ? ", shared memory" : ", without shared memory") +
         (hasXFixes_ ? "" : ", pointer not drawn (no XFIXES)") +
         (tracker_ && tracker_->Available() ? "" : ", changes not tracked (no DAMAGE)");
}

void TX11ScreenCapture::Disconnect() {
  tracker_.reset();
  grabber_.reset();
  connection_.reset();
}

TCaptureStatus TX11ScreenCapture::ConnectionLost() {
  const std::string name = connection_->Name();
  Disconnect();
  lastAttempt_ = clock_.TickCount();
  return Report(TCaptureStatus::NoDisplay,
                "screen capture: lost the connection to X display " + Quoted(name) + ", retrying");
}

bool TX11ScreenCapture::ReadScreenSize() {
  Display* display = connection_->Get();
  Window root = 0;
  int x = 0;
  int y = 0;
  unsigned width = 0;
  unsigned height = 0;
  unsigned border = 0;
  unsigned depth = 0;
  // Asked every time: Xlib's own idea of the screen size does not follow RandR changes.
  if (!XGetGeometry(display, XDefaultRootWindow(display), &root, &x, &y, &width, &height, &border,
                    &depth) ||
      connection_->Lost())
    return false;
  const int newWidth = static_cast<int>(width);
  const int newHeight = static_cast<int>(height);
  const int wantedRows = bandRows_ > 0 && bandRows_ < newHeight ? bandRows_ : newHeight;
  const bool resized = grabber_ && (newWidth != width_ || newHeight != height_);
  if (!grabber_ || resized || grabber_->BandRows() != wantedRows) {
    grabber_.reset();
    width_ = newWidth;
    height_ = newHeight;
    grabber_ = std::make_unique<TX11ScreenGrabber>(*connection_, width_, height_, wantedRows);
    if (tracker_ && resized) tracker_->Forget();
    if (resized)
      Report(TCaptureStatus::Ok, "screen capture: screen size changed, now " + Describe(), true);
  }
  return !connection_->Lost();
}

TCaptureStatus TX11ScreenCapture::Prepare(int targetWidth, int targetHeight, int bandRows) {
  if (targetWidth <= 0 || targetHeight <= 0 || targetWidth > kMaxTargetSide ||
      targetHeight > kMaxTargetSide)
    return Report(TCaptureStatus::Failed, "screen capture: invalid target size " +
                                              std::to_string(targetWidth) + "x" +
                                              std::to_string(targetHeight));
  bandRows_ = bandRows;
  if (const TCaptureStatus status = Open(); status != TCaptureStatus::Ok) return status;
  // Before the size and the pixels are read, so that what they show settles what was taken in.
  tracker_->Collect();
  if (!ReadScreenSize()) {
    if (connection_->Lost()) return ConnectionLost();
    return Report(TCaptureStatus::Failed,
                  "screen capture: cannot read the screen size: " + connection_->TakeError());
  }
  return TCaptureStatus::Ok;
}

TCaptureStatus TX11ScreenCapture::GrabRows(int top, int count, bool firstOfPicture) {
  TGrabbedRows rows;
  if (!grabber_->Grab(rows, top, count)) {
    if (connection_->Lost()) return ConnectionLost();
    // A read that raced a size change fails once; the next capture reads the new size.
    return Report(TCaptureStatus::Failed,
                  "screen capture: reading the screen failed: " + connection_->TakeError());
  }
  if (!ToArgb(rows, firstOfPicture)) {
    if (connection_->Lost()) return ConnectionLost();
    return Report(TCaptureStatus::Failed,
                  "screen capture: cannot read pixels of depth " + std::to_string(rows.depth) +
                      " at " + std::to_string(rows.layout.bitsPerPixel) + " bits per pixel");
  }
  return TCaptureStatus::Ok;
}

TCaptureStatus TX11ScreenCapture::Finish() {
  if (connection_->Lost()) return ConnectionLost();
  if (notices_.Reported() != TCaptureStatus::Ok)
    return Report(TCaptureStatus::Ok, "screen capture: capturing again, " + Describe());
  return Report(TCaptureStatus::Ok, {});
}

TCaptureStatus TX11ScreenCapture::Finish(int targetWidth, int targetHeight, int top, int bottom,
                                         const TPointerPlace& drawn) {
  const TCaptureStatus status = Finish();
  if (status == TCaptureStatus::Ok)
    tracker_->Captured(targetWidth, targetHeight, height_, top, bottom, drawn);
  return status;
}

TCaptureStatus TX11ScreenCapture::Stretch(int targetWidth, int targetHeight, int top, int bottom) {
  // A band-sized reader left from a 1:1 capture cannot take the whole screen at once.
  if (grabber_->BandRows() < height_)
    if (const TCaptureStatus status = Prepare(targetWidth, targetHeight, 0);
        status != TCaptureStatus::Ok)
      return status;
  if (const TCaptureStatus status = GrabRows(0, height_, true); status != TCaptureStatus::Ok)
    return status;
  const int stride = targetWidth * 4;
  scaled_.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(targetHeight));
  libyuv::ARGBScaleClip(whole_, wholeStride_, width_, height_, scaled_.data(), stride, targetWidth,
                        targetHeight, 0, top, targetWidth, bottom - top, libyuv::kFilterNone);
  return TCaptureStatus::Ok;
}

TCaptureStatus TX11ScreenCapture::Capture(int targetWidth, int targetHeight,
                                          TScreenPicture& picture) {
  if (const TCaptureStatus status = Prepare(targetWidth, targetHeight, 0);
      status != TCaptureStatus::Ok)
    return status;
  if (targetWidth == width_ && targetHeight == height_) {
    if (const TCaptureStatus status = GrabRows(0, height_, true); status != TCaptureStatus::Ok)
      return status;
    const TPointerImage pointer = ReadPointer();
    DrawPointer(pointer, 0, height_);
    picture = {whole_, wholeStride_, width_, height_};
    return Finish(targetWidth, targetHeight, 0, targetHeight, PlaceOf(pointer));
  }
  if (const TCaptureStatus status = Stretch(targetWidth, targetHeight, 0, targetHeight);
      status != TCaptureStatus::Ok)
    return status;
  picture = {scaled_.data(), targetWidth * 4, targetWidth, targetHeight};
  return Finish(targetWidth, targetHeight, 0, targetHeight, {});
}

TCaptureStatus TX11ScreenCapture::CaptureInBands(int targetWidth, int targetHeight, int maxBandRows,
                                                 const TBandSink& sink) {
  return CaptureRowsInBands(targetWidth, targetHeight, 0, targetHeight, maxBandRows, sink);
}

TCaptureStatus TX11ScreenCapture::CaptureRowsInBands(int targetWidth, int targetHeight, int top,
                                                     int bottom, int maxBandRows,
                                                     const TBandSink& sink) {
  const int bandRows = std::max(maxBandRows, 0) & ~1;
  // Only a 1:1 picture is read in bands; a stretched one needs the whole screen at once.
  const bool oneToOne = targetWidth == Width() && targetHeight == Height();
  if (const TCaptureStatus status = Prepare(targetWidth, targetHeight, oneToOne ? bandRows : 0);
      status != TCaptureStatus::Ok)
    return status;
  top = std::max(top, 0) & ~1;
  bottom = std::min(bottom, targetHeight);
  if (top >= bottom) return Finish();
  // The screen may have changed size since the caller looked.
  if (targetWidth != width_ || targetHeight != height_) {
    if (const TCaptureStatus status = Stretch(targetWidth, targetHeight, top, bottom);
        status != TCaptureStatus::Ok)
      return status;
    const int stride = targetWidth * 4;
    sink({scaled_.data() + static_cast<std::ptrdiff_t>(top) * stride, stride, targetWidth,
          bottom - top},
         top);
    return Finish(targetWidth, targetHeight, top, bottom, {});
  }
  // One pointer for the whole picture, so that a pointer across a band edge is drawn whole.
  const TPointerImage pointer = ReadPointer();
  // Even, or the whole height and so a single read.
  const int step = grabber_->BandRows();
  for (int row = top; row < bottom; row += step) {
    const int rows = std::min(step, bottom - row);
    if (const TCaptureStatus status = GrabRows(row, rows, row == top);
        status != TCaptureStatus::Ok)
      return status;
    DrawPointer(pointer, row, rows);
    sink({whole_, wholeStride_, width_, rows}, row);
  }
  return Finish(targetWidth, targetHeight, top, bottom, PlaceOf(pointer));
}

TScreenChange TX11ScreenCapture::ChangeSinceLastCapture(int targetWidth, int targetHeight) {
  if (!tracker_) return {};
  const TScreenChange change = tracker_->Change(targetWidth, targetHeight, width_, height_);
  if (connection_->Lost()) ConnectionLost();
  return change;
}

bool TX11ScreenCapture::ToArgb(const TGrabbedRows& rows, bool firstOfPicture) {
  if (IsNativeArgb(rows.layout)) {
    // The common desktop: the read already is what the converter takes, so no copy.
    whole_ = rows.pixels;
    wholeStride_ = rows.stride;
    return true;
  }
  Display* display = connection_->Get();
  const Visual& visual = *XDefaultVisual(display, XDefaultScreen(display));
  if (IsIndexedVisual(visual)) {
    // The colour map can change between frames, so it is read with every capture (once for all
    // of its bands).
    if (firstOfPicture && !LoadPalette(rows)) return false;
    if (!expander_.UsePalette(rows.layout, palette_)) return false;
    expanderByMasks_ = false;
  } else if (!expanderByMasks_ || !(expanderLayout_ == rows.layout)) {
    if (!expander_.UseMasks(rows.layout)) return false;
    expanderByMasks_ = true;
    expanderLayout_ = rows.layout;
  }
  wholeStride_ = rows.width * 4;
  expanded_.resize(static_cast<std::size_t>(wholeStride_) * static_cast<std::size_t>(rows.height));
  expander_.Expand(rows.pixels, rows.stride, rows.width, rows.height, expanded_.data(),
                   wholeStride_);
  whole_ = expanded_.data();
  return true;
}

bool TX11ScreenCapture::LoadPalette(const TGrabbedRows& rows) {
  if (rows.depth <= 0 || rows.depth > 16) return false;
  Display* display = connection_->Get();
  const Window root = XDefaultRootWindow(display);
  // The installed map is what the screen shows; the default one if none is reported.
  Colormap colormap = XDefaultColormap(display, XDefaultScreen(display));
  int installed = 0;
  if (Colormap* maps = XListInstalledColormaps(display, root, &installed)) {
    if (installed > 0) colormap = maps[0];
    XFree(maps);
  }
  const int entries =
      std::min(XDefaultVisual(display, XDefaultScreen(display))->map_entries, 1 << rows.depth);
  // Kept between captures, like the palette: the colour map is read for every picture.
  std::vector<XColor>& colors = colorQuery_;
  colors.resize(static_cast<std::size_t>(entries));
  for (int i = 0; i < entries; ++i) {
    colors[static_cast<std::size_t>(i)].pixel = static_cast<unsigned long>(i);
    colors[static_cast<std::size_t>(i)].flags = DoRed | DoGreen | DoBlue;
  }
  connection_->TakeError();
  XQueryColors(display, colormap, colors.data(), entries);
  if (!connection_->TakeError().empty() || connection_->Lost()) return false;
  palette_.resize(colors.size());
  for (std::size_t i = 0; i < colors.size(); ++i)
    palette_[i] = Argb(static_cast<std::uint8_t>(colors[i].red >> 8),
                       static_cast<std::uint8_t>(colors[i].green >> 8),
                       static_cast<std::uint8_t>(colors[i].blue >> 8));
  return true;
}

TX11ScreenCapture::TPointerImage TX11ScreenCapture::ReadPointer() {
  if (!hasXFixes_) return nullptr;
  return TPointerImage(XFixesGetCursorImage(connection_->Get()));
}

TPointerPlace TX11ScreenCapture::PlaceOf(const TPointerImage& pointer) {
  if (!pointer) return {};
  const int top = pointer->y - pointer->yhot;
  return {pointer->x, pointer->y, {top, top + pointer->height}, pointer->cursor_serial};
}

void TX11ScreenCapture::DrawPointer(const TPointerImage& pointer, int top, int rows) {
  if (!pointer) return;
  TCursorImage cursor;
  cursor.pixels = pointer->pixels;
  cursor.width = pointer->width;
  cursor.height = pointer->height;
  cursor.left = pointer->x - pointer->xhot;
  cursor.top = pointer->y - pointer->yhot - top;
  DrawCursor(cursor, whole_, wholeStride_, width_, rows);
}

}  // namespace platform::x11
