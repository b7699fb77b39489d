#include "platform/x11/X11ScreenGrabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstddef>

#include "platform/x11/X11Connection.h"

namespace platform::x11 {

namespace {

// shmat's failure value, spelled without the cast in its macro-like definition.
void* const kShmFailed = reinterpret_cast<void*>(-1);

}  // namespace

void TX11ScreenGrabber::TImageDeleter::operator()(XImage* image) const {
  // For shared images this frees the image record only; the segment is released separately.
  XDestroyImage(image);
}

TX11ScreenGrabber::TX11ScreenGrabber(TX11Connection& connection, int width, int height,
                                     int bandRows)
    : connection_(connection),
      width_(width),
      height_(height),
      bandRows_(bandRows > 0 && bandRows < height ? bandRows : height) {
  segment_.shmid = -1;
  if (XShmQueryExtension(connection_.Get()) && !AttachSharedMemory()) DetachSharedMemory();
}

TX11ScreenGrabber::~TX11ScreenGrabber() {
  DetachSharedMemory();
}

bool TX11ScreenGrabber::AttachSharedMemory() {
  Display* display = connection_.Get();
  const int screen = XDefaultScreen(display);
  XImage* image =
      XShmCreateImage(display, XDefaultVisual(display, screen),
                      static_cast<unsigned>(XDefaultDepth(display, screen)), ZPixmap, nullptr,
                      &segment_, static_cast<unsigned>(width_), static_cast<unsigned>(bandRows_));
  if (!image) return false;
  sharedImage_.reset(image);
  const auto bytes =
      static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(image->height);
  segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (segment_.shmid < 0) return false;
  segment_.shmaddr = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
  if (segment_.shmaddr == kShmFailed) {
    segment_.shmaddr = nullptr;
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    return false;
  }
  image->data = segment_.shmaddr;
  segment_.readOnly = False;
  connection_.TakeError();
  const bool attached = XShmAttach(display, &segment_) != 0;
  // The server reports a segment it cannot reach (another machine) only as an error.
  connection_.Sync();
  const bool refused = !connection_.TakeError().empty();
  // Marked for removal once both sides are attached, so the segment cannot outlive the process.
  shmctl(segment_.shmid, IPC_RMID, nullptr);
  if (!attached || refused || connection_.Lost()) {
    segment_.shmseg = 0;
    return false;
  }
  return true;
}

void TX11ScreenGrabber::DetachSharedMemory() {
  if (segment_.shmseg && !connection_.Lost()) {
    XShmDetach(connection_.Get(), &segment_);
    connection_.Sync();
    connection_.TakeError();
  }
  sharedImage_.reset();
  if (segment_.shmaddr) shmdt(segment_.shmaddr);
  segment_ = {};
  segment_.shmid = -1;
}

TGrabbedRows TX11ScreenGrabber::Describe(XImage& image) const {
  Display* display = connection_.Get();
  const Visual* visual = XDefaultVisual(display, XDefaultScreen(display));
  TGrabbedRows rows;
  rows.pixels = reinterpret_cast<std::uint8_t*>(image.data);
  rows.stride = image.bytes_per_line;
  rows.width = image.width;
  rows.height = image.height;
  rows.depth = image.depth;
  rows.layout.bitsPerPixel = image.bits_per_pixel;
  rows.layout.mostSignificantByteFirst = image.byte_order == MSBFirst;
  rows.layout.redMask = static_cast<std::uint32_t>(visual->red_mask);
  rows.layout.greenMask = static_cast<std::uint32_t>(visual->green_mask);
  rows.layout.blueMask = static_cast<std::uint32_t>(visual->blue_mask);
  return rows;
}

bool TX11ScreenGrabber::Grab(TGrabbedRows& rows, int top, int count) {
  if (top < 0 || count <= 0 || count > bandRows_ || top > height_ - count) return false;
  Display* display = connection_.Get();
  const Window root = XDefaultRootWindow(display);
  if (sharedImage_) {
    // The request reads as many rows as the image says it has; a short last band reads fewer
    // into the same segment.
    XImage& image = *sharedImage_;
    image.height = count;
    const bool read = XShmGetImage(display, root, &image, 0, top, XAllPlanes()) != 0;
    if (read) rows = Describe(image);
    image.height = bandRows_;
    return read && !connection_.Lost();
  }
  plainImage_.reset();
  plainImage_.reset(XGetImage(display, root, 0, top, static_cast<unsigned>(width_),
                              static_cast<unsigned>(count), XAllPlanes(), ZPixmap));
  if (!plainImage_) return false;
  rows = Describe(*plainImage_);
  return true;
}

}  // namespace platform::x11
