// Which rows of the screen changed since the last capture, told by the server rather than found by
// comparing pictures: DAMAGE reports every drawing on the root window (children included), the
// pointer's position is asked for and XFIXES says when its shape changes. All of it arrives as
// events on the capture's own connection, so a still screen costs one small round trip per look.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>

#include "platform/ScreenCapture.h"

namespace platform::x11 {

class TX11Connection;

// Rows [top, bottom); empty when top >= bottom.
struct TRowSpan {
  int top = 0;
  int bottom = 0;
  bool Empty() const { return top >= bottom; }
  bool Within(int first, int end) const { return Empty() || (first <= top && bottom <= end); }
  TRowSpan Union(const TRowSpan& other) const;
  friend bool operator==(const TRowSpan&, const TRowSpan&) = default;
};

// Where a capture drew the pointer: its position, the rows its image covers and which image.
struct TPointerPlace {
  int x = 0;
  int y = 0;
  TRowSpan rows;
  unsigned long serial = 0;
  friend bool operator==(const TPointerPlace&, const TPointerPlace&) = default;
};

class TX11ChangeTracker {
 public:
  // Starts following the connection's default root window, when the server has DAMAGE (see
  // Available). watchPointer: the server has XFIXES, so captures draw the pointer.
  TX11ChangeTracker(TX11Connection& connection, bool watchPointer);
  ~TX11ChangeTracker();

  TX11ChangeTracker(const TX11ChangeTracker&) = delete;
  TX11ChangeTracker& operator=(const TX11ChangeTracker&) = delete;

  bool Available() const { return damage_ != 0; }

  // Takes in the events that arrived; captures call it before they read, so that what they read
  // settles the changes taken in.
  void Collect();

  // The caller's picture no longer matches anything known (a failed read, a new screen size): the
  // next capture counts as everything.
  void Forget() { whole_ = true; }

  // The change since the last capture, for a target of the given size of a screen of the given
  // size (a 1:1 target includes the pointer).
  TScreenChange Change(int targetWidth, int targetHeight, int screenWidth, int screenHeight);

  // A capture at that target read the screen rows [first, end) and drew the pointer at `drawn`
  // (clipped to those rows; empty rows when not drawn).
  void Captured(int targetWidth, int targetHeight, int screenHeight, int first, int end,
                const TPointerPlace& drawn);

 private:
  // Where the pointer is now, with rows from the shape last seen (read again when it changed).
  bool PointerNow(TPointerPlace& place);

  TX11Connection& connection_;
  bool watchPointer_;
  Damage damage_ = 0;
  int damageEvent_ = 0;
  int fixesEvent_ = 0;

  bool whole_ = true;
  int targetWidth_ = 0;
  int targetHeight_ = 0;
  TRowSpan pending_;  // screen rows drawn on since the captures that would have read them

  // The pointer as the caller's picture shows it, and whether whole (not cut by a partial read).
  TPointerPlace shown_;
  bool shownWhole_ = true;
  // The shape last read (its hotspot row and height) and whether it has changed since.
  bool shapeChanged_ = false;
  unsigned long knownSerial_ = 0;
  int hotY_ = 0;
  int shapeHeight_ = 0;
};

}  // namespace platform::x11
