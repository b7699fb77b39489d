// Moving demo content for a desktop that has nothing on it (a virtual display started for a
// demonstration): coloured bands slide across the screen and a bar sweeps down, about 15 times a
// second, until the display goes away or the process is ended.
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "vistrel-demo-content: cannot open the display\n");
    return 1;
  }
  const int screen = DefaultScreen(display);
  const Window root = RootWindow(display, screen);
  const int width = DisplayWidth(display, screen);
  const int height = DisplayHeight(display, screen);
  GC gc = XCreateGC(display, root, 0, nullptr);
  const Colormap colours = DefaultColormap(display, screen);
  unsigned long palette[8];
  const char* names[8] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                          "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  for (int i = 0; i < 8; ++i) {
    XColor colour;
    palette[i] = XParseColor(display, colours, names[i], &colour) &&
                         XAllocColor(display, colours, &colour)
                     ? colour.pixel
                     : WhitePixel(display, screen);
  }
  const int bandHeight = height / 8 > 0 ? height / 8 : 1;
  for (unsigned frame = 0;; ++frame) {
    for (int band = 0; band < 8; ++band) {
      const int offset = static_cast<int>((frame * static_cast<unsigned>(4 + band * 3)) %
                                          static_cast<unsigned>(width));
      XSetForeground(display, gc, palette[(band + static_cast<int>(frame / 60)) % 8]);
      XFillRectangle(display, root, gc, 0, band * bandHeight, static_cast<unsigned>(width),
                     static_cast<unsigned>(bandHeight));
      XSetForeground(display, gc, WhitePixel(display, screen));
      XFillRectangle(display, root, gc, offset, band * bandHeight, 40,
                     static_cast<unsigned>(bandHeight));
    }
    XSetForeground(display, gc, BlackPixel(display, screen));
    XFillRectangle(display, root, gc, 0, static_cast<int>((frame * 6) % static_cast<unsigned>(height)),
                   static_cast<unsigned>(width), 6);
    // A lost display ends the program through Xlib's own error handling.
    XSync(display, False);
    usleep(66000);
  }
}
