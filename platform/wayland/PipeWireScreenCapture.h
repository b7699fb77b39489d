// Screen capture on Wayland: the picture of a screen-cast session's PipeWire node.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CaptureNotices.h"
#include "platform/ScreenCapture.h"
#include "platform/wayland/PipeWireStream.h"
#include "platform/wayland/ScreenCastSession.h"

namespace platform::wayland {

class TPipeWireScreenCapture final : public TScreenCapture {
 public:
  // The clock paces new attempts and must outlive the capture.
  TPipeWireScreenCapture(const TClock& clock, std::shared_ptr<TScreenCastSession> session);
  ~TPipeWireScreenCapture() override;

  TCaptureStatus Open() override;
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  TCaptureStatus Capture(int targetWidth, int targetHeight, TScreenPicture& picture) override;
  TScreenChange ChangeSinceLastCapture(int targetWidth, int targetHeight) override;
  // Lets go of the stream (the compositor then renders nothing for it); keeps the session, so
  // the user is not asked again.
  void Rest() override;
  const std::string& LastError() const override { return notices_.LastError(); }
  std::string TakeNotice() override;

 private:
  TCaptureStatus Ask(std::uint32_t now);
  TCaptureStatus Connect(const TCastNode& node, std::uint32_t now);
  TCaptureStatus StreamEnded();
  void Refuse(const TCastNode& node);
  // Takes in the stream's latest picture; notes a change of size.
  void Refresh();
  TCaptureStatus Report(TCaptureStatus status, const std::string& text, bool always = false);

  const TClock& clock_;
  std::shared_ptr<TScreenCastSession> session_;
  std::unique_ptr<TPipeWireStream> stream_;
  bool cursorEmbedded_ = true;
  // The session said no: black pictures until it says yes.
  bool refused_ = false;
  int width_ = 0;
  int height_ = 0;

  // No new attempt before a second has passed since lastAttempt_.
  bool paused_ = false;
  std::uint32_t lastAttempt_ = 0;
  // The stream ended: the session is renewed on the next attempt, unless it says by then that
  // the desktop ended it.
  bool renewDue_ = false;
  int slowStarts_ = 0;

  TStreamPicture latest_;
  // The latest picture with the pointer drawn in, or stretched onto the target.
  std::vector<std::uint8_t> drawn_;
  std::vector<std::uint8_t> scaled_;
  std::uint64_t scaledSequence_ = 0;
  int scaledWidth_ = 0;
  int scaledHeight_ = 0;

  // What the last successful capture showed, for ChangeSinceLastCapture.
  bool captured_ = false;
  int capturedWidth_ = 0;
  int capturedHeight_ = 0;
  std::uint64_t capturedSequence_ = 0;
  std::uint64_t capturedPointer_ = 0;

  // A failure for a new reason is worth a line of its own: the session's reasons say what to do.
  TCaptureNotices notices_{true};
};

}  // namespace platform::wayland

namespace platform {

// A capture of the session's screen; connects on first use.
std::unique_ptr<TScreenCapture> CreatePipeWireScreenCapture(
    const TClock& clock, std::shared_ptr<wayland::TScreenCastSession> session);

}  // namespace platform
