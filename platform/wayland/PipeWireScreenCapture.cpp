#include "platform/wayland/PipeWireScreenCapture.h"

#include <libyuv/scale_argb.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <utility>

#include "platform/x11/CursorOverlay.h"

namespace platform {

std::unique_ptr<TScreenCapture> CreatePipeWireScreenCapture(
    const TClock& clock, std::shared_ptr<wayland::TScreenCastSession> session) {
  return std::make_unique<wayland::TPipeWireScreenCapture>(clock, std::move(session));
}

}  // namespace platform

namespace platform::wayland {

namespace {

// Setting up again costs a session renewal and a PipeWire connection: not on every frame.
constexpr std::uint32_t kRetryIntervalMs = 1000;
// How long Open waits for the compositor to settle the format and send a first picture.
constexpr auto kFirstPictureWait = std::chrono::milliseconds(1000);
// The picture sent while screen sharing is refused, when the session did not tell a size.
constexpr int kFallbackWidth = 1280;
constexpr int kFallbackHeight = 720;
constexpr int kMaxTargetSide = 16384;
// A stream that connects but shows no picture this many times in a row asks for a new session.
constexpr int kSlowStartsBeforeRenewal = 5;

}  // namespace

TPipeWireScreenCapture::TPipeWireScreenCapture(const TClock& clock,
                                               std::shared_ptr<TScreenCastSession> session)
    : clock_(clock), session_(std::move(session)) {}

TPipeWireScreenCapture::~TPipeWireScreenCapture() = default;

std::string TPipeWireScreenCapture::TakeNotice() {
  return notices_.Take();
}

TCaptureStatus TPipeWireScreenCapture::Report(TCaptureStatus status, const std::string& text,
                                              bool always) {
  if (notices_.Report(status, text, always)) captured_ = false;
  return status;
}

TCaptureStatus TPipeWireScreenCapture::Open() {
  if (stream_) return stream_->Broken() ? StreamEnded() : TCaptureStatus::Ok;
  const std::uint32_t now = clock_.TickCount();
  if (paused_ && TicksElapsed(lastAttempt_, now) < kRetryIntervalMs)
    return refused_ ? TCaptureStatus::Ok : TCaptureStatus::NoDisplay;
  return Ask(now);
}

TCaptureStatus TPipeWireScreenCapture::Ask(std::uint32_t now) {
  const TCastNode node = session_->Node();
  // Asked a second after the stream ended, so that a session the desktop closed (the user
  // pressed stop) has said so by now: that one is not started again behind the user's back.
  if (node.status == TCastStatus::Ok && std::exchange(renewDue_, false)) {
    if (node.remoteFd >= 0) close(node.remoteFd);
    session_->Renew();
    return Ask(now);
  }
  if (node.status != TCastStatus::Ok) renewDue_ = false;
  switch (node.status) {
    case TCastStatus::Ok:
      return Connect(node, now);
    case TCastStatus::Refused:
      Refuse(node);
      return TCaptureStatus::Ok;
    case TCastStatus::Pending:
      // Asking is cheap while the user decides; no pause.
      paused_ = refused_;
      lastAttempt_ = now;
      if (refused_) return TCaptureStatus::Ok;
      return Report(TCaptureStatus::NoDisplay,
                    "screen capture: waiting for screen sharing to be allowed");
    case TCastStatus::Failed:
      break;
  }
  paused_ = true;
  lastAttempt_ = now;
  if (refused_) return TCaptureStatus::Ok;
  return Report(TCaptureStatus::NoDisplay,
                "screen capture: the screen-cast session failed: " + node.error + ", retrying");
}

void TPipeWireScreenCapture::Refuse(const TCastNode& node) {
  // Asked again once a second, in case someone renewed the session.
  paused_ = true;
  lastAttempt_ = clock_.TickCount();
  if (refused_) return;
  refused_ = true;
  width_ = node.width > 0 && node.height > 0 ? node.width : kFallbackWidth;
  height_ = node.width > 0 && node.height > 0 ? node.height : kFallbackHeight;
  latest_ = {};
  latest_.width = width_;
  latest_.height = height_;
  latest_.pixels.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4,
                        0);
  scaledSequence_ = ~std::uint64_t{0};
  Report(TCaptureStatus::Ok,
         "screen capture: screen sharing is not available (" + node.error +
             "); sending a black picture of " + std::to_string(width_) + "x" +
             std::to_string(height_),
         true);
}

TCaptureStatus TPipeWireScreenCapture::Connect(const TCastNode& node, std::uint32_t now) {
  paused_ = true;
  lastAttempt_ = now;
  std::string error;
  stream_ = TPipeWireStream::Connect(node.remoteFd, node.node, !node.cursorEmbedded, error);
  bool broken = !stream_;
  if (stream_ && !stream_->WaitUntilReady(kFirstPictureWait)) {
    broken = stream_->Broken();
    error = broken ? stream_->Error() : "no picture format from the compositor within a second";
    stream_.reset();
  }
  if (!stream_) {
    // A stream that broke means the node is gone; one that is merely slow gets another try on
    // the same session, since a new one may mean a new prompt.
    renewDue_ = broken || ++slowStarts_ >= kSlowStartsBeforeRenewal;
    if (renewDue_) slowStarts_ = 0;
    return Report(TCaptureStatus::NoDisplay,
                  "screen capture: cannot read the screen-cast stream: " + error + ", retrying");
  }
  paused_ = false;
  refused_ = false;
  slowStarts_ = 0;
  cursorEmbedded_ = node.cursorEmbedded;
  latest_ = {};
  scaledSequence_ = ~std::uint64_t{0};
  captured_ = false;
  Refresh();
  return Report(TCaptureStatus::Ok,
                "screen capture: capturing PipeWire node " + std::to_string(node.node) + ", " +
                    stream_->Describe() +
                    (cursorEmbedded_ ? ", pointer drawn by the compositor" : ""),
                true);
}

TCaptureStatus TPipeWireScreenCapture::StreamEnded() {
  const std::string why = stream_->Error();
  stream_.reset();
  renewDue_ = true;
  paused_ = true;
  lastAttempt_ = clock_.TickCount();
  return Report(TCaptureStatus::NoDisplay,
                "screen capture: the screen-cast stream ended (" + why + "), starting over");
}

void TPipeWireScreenCapture::Rest() {
  if (!stream_) return;
  stream_.reset();
  captured_ = false;
}

void TPipeWireScreenCapture::Refresh() {
  if (!stream_ || !stream_->Take(latest_)) return;
  if (latest_.width == width_ && latest_.height == height_) return;
  const bool resized = width_ > 0;
  width_ = latest_.width;
  height_ = latest_.height;
  if (resized)
    Report(TCaptureStatus::Ok, "screen capture: screen size changed, now " + stream_->Describe(),
           true);
}

TCaptureStatus TPipeWireScreenCapture::Capture(int targetWidth, int targetHeight,
                                               TScreenPicture& picture) {
  if (targetWidth <= 0 || targetHeight <= 0 || targetWidth > kMaxTargetSide ||
      targetHeight > kMaxTargetSide)
    return Report(TCaptureStatus::Failed, "screen capture: invalid target size " +
                                              std::to_string(targetWidth) + "x" +
                                              std::to_string(targetHeight));
  if (const TCaptureStatus status = Open(); status != TCaptureStatus::Ok) return status;
  Refresh();
  const int stride = width_ * 4;
  const TStreamPointer& pointer = latest_.pointer;
  if (targetWidth == width_ && targetHeight == height_) {
    picture = {latest_.pixels.data(), stride, width_, height_};
    if (!cursorEmbedded_ && pointer.visible && stream_) {
      // Drawn onto a copy: the kept picture must stay clean for the pointer's next place.
      drawn_.assign(latest_.pixels.begin(), latest_.pixels.end());
      x11::TCursorImage cursor;
      cursor.pixels = pointer.pixels.data();
      cursor.width = pointer.width;
      cursor.height = pointer.height;
      cursor.left = pointer.x - pointer.hotX;
      cursor.top = pointer.y - pointer.hotY;
      x11::DrawCursor(cursor, drawn_.data(), stride, width_, height_);
      picture.pixels = drawn_.data();
    }
  } else {
    const int targetStride = targetWidth * 4;
    // A still screen is stretched once, not once per frame.
    if (scaledSequence_ != latest_.sequence || scaledWidth_ != targetWidth ||
        scaledHeight_ != targetHeight) {
      scaled_.resize(static_cast<std::size_t>(targetStride) *
                     static_cast<std::size_t>(targetHeight));
      libyuv::ARGBScale(latest_.pixels.data(), stride, width_, height_, scaled_.data(),
                        targetStride, targetWidth, targetHeight, libyuv::kFilterNone);
      scaledSequence_ = latest_.sequence;
      scaledWidth_ = targetWidth;
      scaledHeight_ = targetHeight;
    }
    picture = {scaled_.data(), targetStride, targetWidth, targetHeight};
  }
  captured_ = true;
  capturedWidth_ = targetWidth;
  capturedHeight_ = targetHeight;
  capturedSequence_ = latest_.sequence;
  capturedPointer_ = latest_.pointerSequence;
  if (notices_.Reported() != TCaptureStatus::Ok && stream_)
    return Report(TCaptureStatus::Ok, "screen capture: capturing again, " + stream_->Describe());
  return Report(TCaptureStatus::Ok, {});
}

TScreenChange TPipeWireScreenCapture::ChangeSinceLastCapture(int targetWidth, int targetHeight) {
  if (!captured_ || targetWidth != capturedWidth_ || targetHeight != capturedHeight_) return {};
  if (!stream_) return refused_ ? TScreenChange{true, 0, 0} : TScreenChange{};
  if (stream_->Broken() || stream_->Sequence() != capturedSequence_) return {};
  // The pointer counts only where it is drawn: in 1:1 pictures read with its metadata.
  const bool pointerDrawn = !cursorEmbedded_ && targetWidth == width_ && targetHeight == height_;
  if (pointerDrawn && stream_->PointerSequence() != capturedPointer_) return {};
  return {true, 0, 0};
}

}  // namespace platform::wayland
