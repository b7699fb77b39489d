#include "TestScreen.h"

#include <stdexcept>
#include <vector>

// Xlibint.h defines min and max as macros, so it comes after every standard header.
#include <X11/Xlib.h>
#include <X11/Xlibint.h>
#include <X11/extensions/randrproto.h>

namespace {

// RandR requests sent by hand: the test needs three of them, not a library.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wuseless-cast"
void RandrResize(Display* dpy, int width, int height) {
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(dpy, "RANDR", &opcode, &event, &error))
    throw std::runtime_error("test display has no RANDR");
  const Window root = XDefaultRootWindow(dpy);
  LockDisplay(dpy);
  xRRQueryVersionReq* version;
  GetReq(RRQueryVersion, version);
  version->reqType = opcode;
  version->randrReqType = X_RRQueryVersion;
  version->majorVersion = 1;
  version->minorVersion = 5;
  xRRQueryVersionReply versionReply;
  _XReply(dpy, reinterpret_cast<xReply*>(&versionReply), 0, xTrue);

  xRRGetScreenResourcesReq* resources;
  GetReq(RRGetScreenResources, resources);
  resources->reqType = opcode;
  resources->randrReqType = X_RRGetScreenResources;
  resources->window = root;
  xRRGetScreenResourcesReply resourcesReply;
  _XReply(dpy, reinterpret_cast<xReply*>(&resourcesReply), 0, xFalse);
  std::vector<CARD32> extra((resourcesReply.length * 4 + 3) / 4);
  _XRead(dpy, reinterpret_cast<char*>(extra.data()), resourcesReply.length * 4);
  // The reply's list begins with the crtcs; the virtual screen has one.
  const CARD32 crtc = extra.at(0);

  // The screen cannot become smaller than the crtc showing it, so the crtc goes off first.
  xRRSetCrtcConfigReq* off;
  GetReq(RRSetCrtcConfig, off);
  off->reqType = opcode;
  off->randrReqType = X_RRSetCrtcConfig;
  off->crtc = crtc;
  off->timestamp = resourcesReply.timestamp;
  off->configTimestamp = resourcesReply.configTimestamp;
  off->mode = 0;
  off->rotation = 1;
  xRRSetCrtcConfigReply offReply;
  _XReply(dpy, reinterpret_cast<xReply*>(&offReply), 0, xTrue);

  xRRSetScreenSizeReq* size;
  GetReq(RRSetScreenSize, size);
  size->reqType = opcode;
  size->randrReqType = X_RRSetScreenSize;
  size->window = root;
  size->width = width;
  size->height = height;
  size->widthInMillimeters = width / 4;
  size->heightInMillimeters = height / 4;
  UnlockDisplay(dpy);
  SyncHandle();
  XSync(dpy, False);
}
#pragma GCC diagnostic pop

}  // namespace

TestScreen::TestScreen(const std::string& displayName)
    : display_(XOpenDisplay(displayName.c_str())) {
  if (!display_) throw std::runtime_error("cannot open test display " + displayName);
  gc_ = XCreateGC(display_, XDefaultRootWindow(display_), 0, nullptr);
}

TestScreen::~TestScreen() {
  if (cursor_) XFreeCursor(display_, cursor_);
  XFreeGC(display_, gc_);
  XCloseDisplay(display_);
}

unsigned long TestScreen::PixelOf(Rgb colour) {
  XColor color{};
  color.red = static_cast<unsigned short>(colour.red * 257);
  color.green = static_cast<unsigned short>(colour.green * 257);
  color.blue = static_cast<unsigned short>(colour.blue * 257);
  if (!XAllocColor(display_, XDefaultColormap(display_, XDefaultScreen(display_)), &color))
    throw std::runtime_error("cannot allocate a test colour");
  return color.pixel;
}

void TestScreen::Fill(int x, int y, int width, int height, Rgb colour) {
  XSetForeground(display_, gc_, PixelOf(colour));
  XFillRectangle(display_, XDefaultRootWindow(display_), gc_, x, y, static_cast<unsigned>(width),
                 static_cast<unsigned>(height));
}

void TestScreen::SetPointer(int size, int hotX, int hotY, Rgb colour) {
  const Window root = XDefaultRootWindow(display_);
  const auto side = static_cast<unsigned>(size);
  const Pixmap shape = XCreatePixmap(display_, root, side, side, 1);
  GC bitGc = XCreateGC(display_, shape, 0, nullptr);
  XSetForeground(display_, bitGc, 1);
  XFillRectangle(display_, shape, bitGc, 0, 0, side, side);
  XColor foreground{};
  foreground.red = static_cast<unsigned short>(colour.red * 257);
  foreground.green = static_cast<unsigned short>(colour.green * 257);
  foreground.blue = static_cast<unsigned short>(colour.blue * 257);
  XColor background{};
  if (cursor_) XFreeCursor(display_, cursor_);
  cursor_ = XCreatePixmapCursor(display_, shape, shape, &foreground, &background,
                                static_cast<unsigned>(hotX), static_cast<unsigned>(hotY));
  XDefineCursor(display_, root, cursor_);
  XFreeGC(display_, bitGc);
  XFreePixmap(display_, shape);
}

void TestScreen::MovePointer(int x, int y) {
  XWarpPointer(display_, None, XDefaultRootWindow(display_), 0, 0, 0, 0, x, y);
}

void TestScreen::Resize(int width, int height) {
  RandrResize(display_, width, height);
}

void TestScreen::Sync() {
  XSync(display_, False);
}
