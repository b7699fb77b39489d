#include "TrayDesktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdexcept>
#include <thread>

#include "tests/support/Subprocess.h"

namespace {

using namespace std::chrono_literals;

// Windows come and go while we look at them; a request about one that just went is no failure
// of the test, and Xlib's own handler would end the whole test program.
class IgnoreXErrors {
 public:
  explicit IgnoreXErrors(Display* x) : x_(x), previous_(XSetErrorHandler(&Ignore)) {}
  ~IgnoreXErrors() {
    XSync(x_, False);
    XSetErrorHandler(previous_);
  }

 private:
  static int Ignore(Display*, XErrorEvent*) { return 0; }
  Display* x_;
  XErrorHandler previous_;
};

std::string Property(Display* x, Window window, const char* name, const char* type) {
  Atom actualType = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  std::string value;
  if (XGetWindowProperty(x, window, XInternAtom(x, name, False), 0, 1024, False,
                         XInternAtom(x, type, False), &actualType, &format, &items, &left,
                         &data) == Success &&
      data != nullptr) {
    if (format == 8) value.assign(reinterpret_cast<const char*>(data), items);
    XFree(data);
  }
  return value;
}

bool HasAtom(Display* x, Window window, const char* property, const char* atom) {
  Atom actualType = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  bool found = false;
  if (XGetWindowProperty(x, window, XInternAtom(x, property, False), 0, 64, False, XA_ATOM,
                         &actualType, &format, &items, &left, &data) == Success &&
      data != nullptr) {
    const Atom wanted = XInternAtom(x, atom, False);
    const auto* atoms = reinterpret_cast<const Atom*>(data);
    for (unsigned long i = 0; i < items && format == 32; ++i) found = found || atoms[i] == wanted;
    XFree(data);
  }
  return found;
}

std::string ClassInstance(Display* x, Window window) {
  XClassHint hint{};
  if (!XGetClassHint(x, window, &hint)) return {};
  std::string instance = hint.res_name ? hint.res_name : "";
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return instance;
}

std::vector<Window> Children(Display* x, Window parent) {
  Window root = 0;
  Window up = 0;
  Window* children = nullptr;
  unsigned count = 0;
  std::vector<Window> result;
  if (XQueryTree(x, parent, &root, &up, &children, &count) && children != nullptr) {
    result.assign(children, children + count);
    XFree(children);
  }
  return result;
}

std::optional<TrayDesktop::Window> Describe(Display* x, Window window) {
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(x, window, &attributes)) return std::nullopt;
  TrayDesktop::Window result;
  result.id = window;
  result.name = Property(x, window, "_NET_WM_NAME", "UTF8_STRING");
  if (result.name.empty()) result.name = Property(x, window, "WM_NAME", "STRING");
  Window child = 0;
  XTranslateCoordinates(x, window, DefaultRootWindow(x), 0, 0, &result.x, &result.y, &child);
  result.width = attributes.width;
  result.height = attributes.height;
  result.viewable = attributes.map_state == IsViewable;
  result.overrideRedirect = attributes.override_redirect;
  result.tooltip = HasAtom(x, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_TOOLTIP");
  return result;
}

std::optional<Window> FindByClass(Display* x, Window under, const std::string& instance) {
  for (Window child : Children(x, under)) {
    if (ClassInstance(x, child) == instance) return child;
    if (auto deeper = FindByClass(x, child, instance)) return deeper;
  }
  return std::nullopt;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

bool PollUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

TrayDesktop::TrayDesktop(XvfbDisplay::Screen screen) : screen_(screen), display_(screen) {
  x_ = XOpenDisplay(display_.Name().c_str());
  if (!x_) throw std::runtime_error("cannot open " + display_.Name());
  trayer_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/env", "trayer", "--edge", "top", "--align", "right",
                               "--widthtype", "pixel", "--width", "60", "--height", "24"},
      std::vector<std::string>{"DISPLAY=" + display_.Name()});
  const Atom tray = XInternAtom(x_, "_NET_SYSTEM_TRAY_S0", False);
  if (!PollUntil([&] { return XGetSelectionOwner(x_, tray) != None; }, 10s)) {
    XCloseDisplay(x_);
    throw std::runtime_error("trayer did not take the notification area (is it installed?)");
  }
}

TrayDesktop::~TrayDesktop() {
  trayer_.reset();
  XCloseDisplay(x_);
}

std::vector<TrayDesktop::Window> TrayDesktop::TopLevels(const std::string& program) const {
  IgnoreXErrors quiet(x_);
  std::vector<Window> result;
  for (::Window child : Children(x_, DefaultRootWindow(x_))) {
    if (ClassInstance(x_, child) != program) continue;
    if (auto window = Describe(x_, child)) result.push_back(*window);
  }
  return result;
}

std::optional<TrayDesktop::Window> TrayDesktop::TrayIcon(const std::string& program) const {
  IgnoreXErrors quiet(x_);
  for (::Window top : Children(x_, DefaultRootWindow(x_))) {
    if (ClassInstance(x_, top) != "panel") continue;
    if (auto icon = FindByClass(x_, top, program)) return Describe(x_, *icon);
  }
  return std::nullopt;
}

unsigned long TrayDesktop::FocusedWindow() const {
  ::Window focus = None;
  int revert = 0;
  XGetInputFocus(x_, &focus, &revert);
  return focus;
}

TrayDesktop::Image TrayDesktop::Grab(const Window& window) const {
  IgnoreXErrors quiet(x_);
  Image image;
  XImage* shot =
      XGetImage(x_, DefaultRootWindow(x_), window.x, window.y, static_cast<unsigned>(window.width),
                static_cast<unsigned>(window.height), AllPlanes, ZPixmap);
  if (!shot) return image;
  image.width = window.width;
  image.height = window.height;
  image.pixels.reserve(static_cast<size_t>(window.width) * static_cast<size_t>(window.height));
  for (int row = 0; row < window.height; ++row) {
    for (int column = 0; column < window.width; ++column) {
      image.pixels.push_back(static_cast<std::uint32_t>(XGetPixel(shot, column, row)));
    }
  }
  XDestroyImage(shot);
  return image;
}

std::optional<TrayDesktop::Image> TrayDesktop::GrabSettled(const Window& window,
                                                           std::chrono::milliseconds limit) const {
  Image last = Grab(window);
  std::optional<Image> settled;
  PollUntil(
      [&] {
        Image now = Grab(window);
        if (now == last && !now.pixels.empty())
          settled = std::move(now);
        else
          last = std::move(now);
        return settled.has_value();
      },
      limit);
  return settled;
}

void TrayDesktop::Xdotool(const std::string& arguments) const {
  int status = -1;
  const std::string output = RunCommand(
      "DISPLAY=" + display_.Name() + " timeout 10 xdotool " + arguments + " 2>&1", &status);
  if (status != 0) throw std::runtime_error("xdotool " + arguments + " failed: " + output);
}

void TrayDesktop::Click(int x, int y) const {
  Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

void TrayDesktop::MovePointer(int x, int y) const {
  Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y));
}

void TrayDesktop::Keys(const std::string& keys) const {
  Xdotool("key --delay 50 " + keys);
}

void TrayDesktop::Type(const std::string& text) const {
  Xdotool("type --delay 50 " + Quoted(text));
}
