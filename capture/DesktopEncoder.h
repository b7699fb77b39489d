// The screen as a stream of encoded frames: captures the desktop, converts it to planar 4:2:0 (V
// before U) at the configured size, encodes it at the configured rate and leaves each frame behind
// a TFrameHeader in FrameBuffer for the OnFrame handler. Everything but RequestKeyFrame and
// FmtpLine runs on the live data generator's thread.
//
// A desktop that stands still costs next to nothing: only the rows the screen reports changed are
// read and converted, and an H.264 picture with no change at all is sent as a skip frame (a
// repeat of the last picture, written here in a few bytes) instead of being encoded again. Key
// frames keep their spacing, counted over skip frames too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "DefaultInitAllocator.h"
#include "EncoderBinding.h"
#include "config/Settings.h"
#include "encoder/H264SkipFrames.h"
#include "platform/Clock.h"
#include "platform/ScreenCapture.h"

class TServiceLogFile;

class TDesktopEncoder {
 public:
  using FrameHandler = std::function<void(TDesktopEncoder&)>;

  // Creates the encoder channel at once; the screen is opened on the first capture.
  TDesktopEncoder(const TVideoSettings& settings, const EncoderBinding& encoder,
                  std::unique_ptr<platform::TScreenCapture> screen, const platform::TClock& clock,
                  TServiceLogFile& log);
  TDesktopEncoder(const TDesktopEncoder&) = delete;
  TDesktopEncoder& operator=(const TDesktopEncoder&) = delete;

  // Rows of the screen read at a time: the capture holds this much of the screen (1 MB at 1920
  // pixels wide) rather than all of it (8 MB at 1080p), for a few more requests to the server.
  static constexpr int kCaptureBandRows = 128;

  // Brings the planar buffer up to date with the screen, reading only the rows that changed when
  // the screen can tell; false when there is no picture.
  bool GrabFrame();
  // Encodes the planar buffer when the frame interval has passed since the last encoded picture.
  void EncodeFrame();
  // One pass of the generator's loop: capture, then encode the fresh picture when one is due.
  bool Poll();
  // While nobody watches: takes in what the screen reported changed, so that its reports do not
  // pile up unread (in the display server's memory) until the next picture, and lets the screen
  // rest (a compositor's stream need not render for nobody).
  void KeepUpWithScreen();
  // Asks for the next encoded picture to be a key frame; callable from any thread.
  void RequestKeyFrame() { forceKeyFrame_.store(true, std::memory_order_relaxed); }

  // The header and data of the last encoded frame; valid during the OnFrame call.
  std::span<const uint8_t> FrameBuffer() const;
  // When the screen reading for that frame began, on platform::MonotonicMicroseconds.
  int64_t FrameCapturedMicros() const { return frameCapturedMicros_; }
  // "a=fmtp:96 ..." once the first H.264 key frame has been seen, else empty; any thread.
  std::string FmtpLine() const;
  // Set once by the live data generator, before its thread starts polling.
  void SetOnFrame(FrameHandler handler) { onFrame_ = std::move(handler); }

  // Milliseconds until the next picture may be encoded (0 when it is due now).
  uint32_t MillisecondsUntilNextFrame() const;
  uint32_t FrameInterval() const { return frameInterval_; }
  bool HasEncoder() const { return IsEncoderChannel(encoderHandle_); }
  int TargetWidth() const { return targetWidth_; }
  int TargetHeight() const { return targetHeight_; }
  std::span<const uint8_t> YuvBuffer() const { return yuvBuffer_; }

 private:
  bool EnsureCaptureResources();
  // Reads rows [top, bottom) of the target picture into the planar buffer; false unless every row
  // of the range arrived.
  bool CaptureRows(int top, int bottom);
  // Encodes the planar buffer through the channel, or writes a skip frame when the picture has not
  // changed since the last frame; the frame's length after the header, 0 for none.
  size_t WriteFrame(bool& keyFrame);
  // Converts a band of the picture whose first row is `top` (even) into the planar buffer.
  void ConvertToYuv(const platform::TScreenPicture& band, int top);
  void GrowFrameBuffer(size_t needed);
  void TryBuildFmtpLine(std::span<const uint8_t> frame);
  void LogScreenNotices();

  const TVideoSettings settings_;
  const EncoderBinding& encoder_;
  std::unique_ptr<platform::TScreenCapture> screen_;
  const platform::TClock& clock_;
  TServiceLogFile& log_;

  OrxEnHandle encoderHandle_ = kNoEncoderChannel;
  uint32_t frameInterval_ = 125;
  int targetWidth_ = 0;
  int targetHeight_ = 0;
  int encoderWidth_ = 0;
  int encoderHeight_ = 0;
  bool targetChosen_ = false;

  std::vector<uint8_t> yuvBuffer_;
  // Sized for the worst picture (3 bytes a pixel) but left unfilled: an encoded frame is tens of
  // kilobytes, and only the pages it touches cost memory.
  std::vector<uint8_t, TDefaultInitAllocator<uint8_t>> frameBuffer_;
  bool frameReady_ = false;
  // The planar buffer holds a whole picture, so changed rows alone can bring it up to date.
  bool pictureWhole_ = false;
  // Some row of the planar buffer changed since the last frame was sent.
  bool changedSinceFrame_ = true;
  int keyInterval_ = 1;
  TH264SkipFrames skipFrames_;
  int64_t pictureCapturedMicros_ = 0;
  int64_t frameCapturedMicros_ = 0;
  bool frameDue_ = true;  // nothing encoded yet: the first picture is always due
  uint32_t nextFrameTick_ = 0;
  std::atomic<bool> forceKeyFrame_{false};
  FrameHandler onFrame_;

  mutable std::mutex fmtpLock_;
  std::string fmtpLine_;
};

// The planar 4:2:0 layout the encoder channel receives: Y, then V, then U; chroma rows hold
// ceil(width / 2) samples, and there are floor(height / 2) of them.
struct TYuvLayout {
  size_t ySize, chromaStride, chromaRows, vOffset, uOffset, bufferSize;
};
TYuvLayout YuvLayoutFor(int width, int height);
