// Draws on a test display through a connection of its own, the way another program's windows
// would show up on a real desktop.
#pragma once

#include <cstdint>
#include <string>

struct _XDisplay;
struct _XGC;

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

class TestScreen {
 public:
  explicit TestScreen(const std::string& displayName);
  ~TestScreen();
  TestScreen(const TestScreen&) = delete;
  TestScreen& operator=(const TestScreen&) = delete;

  // Fills a rectangle of the root window. Colours should be exactly representable at the
  // screen's depth (components of 0 or 255 always are).
  void Fill(int x, int y, int width, int height, Rgb colour);

  // Gives the root window a solid square pointer of the given size and colour whose hotspot is
  // at (hotX, hotY) inside the square, and moves the pointer to (x, y).
  void SetPointer(int size, int hotX, int hotY, Rgb colour);
  void MovePointer(int x, int y);

  // Changes the screen size through RandR; the screen can shrink and grow back up to its
  // starting size. The content is lost.
  void Resize(int width, int height);

  // Waits until the server has drawn everything asked for.
  void Sync();

 private:
  unsigned long PixelOf(Rgb colour);

  _XDisplay* display_;
  _XGC* gc_;
  unsigned long cursor_ = 0;
};
