#include "platform/x11/X11ChangeTracker.h"

#include <X11/extensions/Xfixes.h>

#include <algorithm>

#include "platform/x11/X11Connection.h"

namespace platform::x11 {

namespace {

// Screen rows as rows of the target picture, widened to even rows so that a 4:2:0 conversion of
// the band never needs a row outside it.
TRowSpan ToTarget(TRowSpan rows, int screenHeight, int targetHeight) {
  rows.top = std::max(rows.top, 0);
  rows.bottom = std::min(rows.bottom, screenHeight);
  if (rows.Empty() || screenHeight <= 0) return {};
  if (targetHeight != screenHeight) {
    // Nearest-pixel stretching takes a screen row for target rows up to one row off its scaled
    // position either way, depending on where the scaler starts sampling.
    const long long target = targetHeight;
    const long long screen = screenHeight;
    rows.top = static_cast<int>(rows.top * target / screen) - 1;
    rows.bottom = static_cast<int>((rows.bottom * target + screen - 1) / screen) + 1;
  }
  return {std::max(0, rows.top & ~1), std::min(targetHeight, (rows.bottom + 1) & ~1)};
}

}  // namespace

TRowSpan TRowSpan::Union(const TRowSpan& other) const {
  if (Empty()) return other;
  if (other.Empty()) return *this;
  return {std::min(top, other.top), std::max(bottom, other.bottom)};
}

TX11ChangeTracker::TX11ChangeTracker(TX11Connection& connection, bool watchPointer)
    : connection_(connection), watchPointer_(watchPointer) {
  Display* display = connection_.Get();
  const Window root = XDefaultRootWindow(display);
  int errorBase = 0;
  int major = 1;
  int minor = 1;
  if (!XDamageQueryExtension(display, &damageEvent_, &errorBase) ||
      !XDamageQueryVersion(display, &major, &minor))
    return;
  int fixesError = 0;
  if (watchPointer_ && XFixesQueryExtension(display, &fixesEvent_, &fixesError))
    XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
  // A new screen size arrives as the root window's ConfigureNotify, without asking.
  XSelectInput(display, root, StructureNotifyMask);
  connection_.TakeError();
  // Raw rectangles: one event per drawing, nothing to ask back and nothing left on the server to
  // clear, so that taking the changes in never waits for a reply.
  damage_ = XDamageCreate(display, root, XDamageReportRawRectangles);
  connection_.Sync();
  if (!connection_.TakeError().empty() || connection_.Lost()) damage_ = 0;
}

TX11ChangeTracker::~TX11ChangeTracker() {
  if (damage_ && !connection_.Lost()) XDamageDestroy(connection_.Get(), damage_);
}

void TX11ChangeTracker::Collect() {
  Display* display = connection_.Get();
  // XPending reads what the socket holds without waiting; the events go in one at a time, into
  // this stack variable, so a busy screen costs no memory here.
  while (!connection_.Lost() && XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (damage_ && event.type == damageEvent_ + XDamageNotify) {
      const auto& notify = reinterpret_cast<const XDamageNotifyEvent&>(event);
      pending_ = pending_.Union({notify.area.y, notify.area.y + notify.area.height});
    } else if (watchPointer_ && event.type == fixesEvent_ + XFixesCursorNotify) {
      shapeChanged_ = true;
    } else if (event.type == ConfigureNotify) {
      whole_ = true;
    }
  }
}

bool TX11ChangeTracker::PointerNow(TPointerPlace& place) {
  Display* display = connection_.Get();
  Window root = 0;
  Window child = 0;
  int x = 0;
  int y = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned mask = 0;
  // False: the pointer is on another screen of the display, where nothing can be told.
  if (!XQueryPointer(display, XDefaultRootWindow(display), &root, &child, &x, &y, &windowX,
                     &windowY, &mask))
    return false;
  if (shapeChanged_) {
    // Only when the shape changed, which is rare, is its image asked for and allocated.
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    if (!image) return false;
    knownSerial_ = image->cursor_serial;
    hotY_ = image->yhot;
    shapeHeight_ = image->height;
    XFree(image);
    shapeChanged_ = false;
  }
  place = {x, y, {y - hotY_, y - hotY_ + shapeHeight_}, knownSerial_};
  return true;
}

TScreenChange TX11ChangeTracker::Change(int targetWidth, int targetHeight, int screenWidth,
                                        int screenHeight) {
  // A round trip first: the events of every drawing the server carried out before it are then
  // here, so a change made just before this call is not left for the next frame.
  if (!connection_.Lost()) connection_.Sync();
  Collect();
  if (!damage_ || whole_ || connection_.Lost() || targetWidth != targetWidth_ ||
      targetHeight != targetHeight_)
    return {};
  TRowSpan rows = pending_;
  if (watchPointer_ && targetWidth == screenWidth && targetHeight == screenHeight) {
    TPointerPlace now;
    if (!PointerNow(now)) return {};
    if (!shownWhole_ || !(now == shown_)) rows = rows.Union(shown_.rows).Union(now.rows);
  }
  const TRowSpan band = ToTarget(rows, screenHeight, targetHeight);
  return {true, band.top, band.bottom};
}

void TX11ChangeTracker::Captured(int targetWidth, int targetHeight, int screenHeight, int first,
                                 int end, const TPointerPlace& drawn) {
  const bool all = first <= 0 && end >= targetHeight;
  if (targetWidth != targetWidth_ || targetHeight != targetHeight_) {
    targetWidth_ = targetWidth;
    targetHeight_ = targetHeight;
    if (!all) whole_ = true;
  }
  if (all) {
    whole_ = false;
    pending_ = {};
  } else if (ToTarget(pending_, screenHeight, targetHeight).Within(first, end)) {
    pending_ = {};
  }

  if (!drawn.rows.Empty()) {
    knownSerial_ = drawn.serial;
    hotY_ = drawn.y - drawn.rows.top;
    shapeHeight_ = drawn.rows.bottom - drawn.rows.top;
    // Events collected so far were sent before the read, so they are about this shape or older.
    shapeChanged_ = false;
  }
  // Rows outside the read still show the pointer where an earlier capture drew it; until one read
  // covers both places the picture's pointer counts as stale.
  if (all || (shown_.rows.Within(first, end) && drawn.rows.Within(first, end))) {
    shown_ = drawn;
    shownWhole_ = true;
  } else if (!(shownWhole_ && shown_ == drawn)) {
    shown_.rows = shown_.rows.Union(drawn.rows);
    shownWhole_ = false;
  }
}

}  // namespace platform::x11
