// A test display with a notification area (trayer) on it, seen through the X server the way a
// user sees it and driven with xdotool the way a user drives it: real pointer and key presses.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/XvfbDisplay.h"

struct _XDisplay;

// Asks `ready` every 100 ms until it holds or the limit has passed; whether it held.
bool PollUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit);

class TrayDesktop {
 public:
  struct Window {
    unsigned long id = 0;
    std::string name;  // _NET_WM_NAME, else WM_NAME
    int x = 0;         // root coordinates
    int y = 0;
    int width = 0;
    int height = 0;
    bool viewable = false;
    bool overrideRedirect = false;  // menus and tooltips
    bool tooltip = false;
  };
  struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    friend bool operator==(const Image&, const Image&) = default;
  };

  // Starts the server and the tray host, and returns once the host owns the notification area.
  explicit TrayDesktop(XvfbDisplay::Screen screen);
  ~TrayDesktop();
  TrayDesktop(const TrayDesktop&) = delete;
  TrayDesktop& operator=(const TrayDesktop&) = delete;

  std::string Name() const { return display_.Name(); }
  int Width() const { return screen_.width; }
  int Height() const { return screen_.height; }

  // The program's top-level windows (WM_CLASS instance `program`), bottom to top.
  std::vector<Window> TopLevels(const std::string& program) const;
  // The program's window inside the tray host's panel, if it has one there.
  std::optional<Window> TrayIcon(const std::string& program) const;
  // The window holding the keyboard focus.
  unsigned long FocusedWindow() const;
  // What the screen shows where the window is.
  Image Grab(const Window& window) const;
  // Grabs until two pictures 100 ms apart agree, so a window still painting is not caught
  // half-drawn; nothing when it never settles within the limit.
  std::optional<Image> GrabSettled(const Window& window, std::chrono::milliseconds limit) const;

  void Click(int x, int y) const;
  void MovePointer(int x, int y) const;
  // xdotool key names separated by blanks, e.g. "Down Down Return" or "ctrl+a".
  void Keys(const std::string& keys) const;
  void Type(const std::string& text) const;

 private:
  void Xdotool(const std::string& arguments) const;

  XvfbDisplay::Screen screen_;
  XvfbDisplay display_;
  _XDisplay* x_ = nullptr;
  std::unique_ptr<ChildProcess> trayer_;
};
