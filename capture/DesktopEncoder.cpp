#include "DesktopEncoder.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "FmtpLine.h"
#include "FrameHeader.h"
#include "Rounding.h"
#include "log/ServiceLog.h"

namespace {

// Beyond this the settings are taken for a typing error rather than a picture size.
constexpr int kLargestTarget = 16384;
// The encoder's output for one picture never comes near three bytes per pixel.
constexpr size_t kOutputBytesPerPixel = 3;

std::string HandleText(OrxEnHandle handle) {
  // The handle of "no encoder" reads FFFFFFFF in the log, as it always has.
  const uintmax_t value =
      handle == kNoEncoderChannel ? 0xFFFFFFFFu : reinterpret_cast<uintptr_t>(handle);
  char text[32];
  std::snprintf(text, sizeof text, "%08" PRIXMAX, value);
  return text;
}

bool IsUsableTarget(int width, int height) {
  return width > 0 && height > 0 && width <= kLargestTarget && height <= kLargestTarget;
}

}  // namespace

TYuvLayout YuvLayoutFor(int width, int height) {
  TYuvLayout layout{};
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  layout.ySize = w * h;
  layout.chromaStride = (w + 1) / 2;
  layout.chromaRows = h / 2;
  layout.vOffset = layout.ySize;
  layout.uOffset = layout.vOffset + layout.chromaStride * layout.chromaRows;
  // Odd sizes can need a byte or two more than width x height x 3 / 2.
  layout.bufferSize =
      std::max(w * h * 3 / 2, layout.uOffset + layout.chromaStride * layout.chromaRows);
  return layout;
}

TDesktopEncoder::TDesktopEncoder(const TVideoSettings& settings, const EncoderBinding& encoder,
                                 std::unique_ptr<platform::TScreenCapture> screen,
                                 const platform::TClock& clock, TServiceLogFile& log)
    : settings_(settings), encoder_(encoder), screen_(std::move(screen)), clock_(clock), log_(log) {
  targetWidth_ = settings_.width;
  targetHeight_ = settings_.height;
  encoderHandle_ = encoder_.CreateChannel(settings_.encodeType, 0);
  log_.WriteLine(0, "create encoder = 0x" + HandleText(encoderHandle_));
  frameInterval_ = static_cast<uint32_t>(RoundHalfEven(1000, std::max(1, settings_.fps)));
  if (HasEncoder()) encoder_.SetQuantizer(encoderHandle_, settings_.highQuant);
  // The channel puts a key frame a second apart (SetVideoParameters below).
  keyInterval_ = std::max(1, settings_.fps);
}

void TDesktopEncoder::LogScreenNotices() {
  for (std::string notice = screen_->TakeNotice(); !notice.empty();
       notice = screen_->TakeNotice()) {
    log_.WriteLine(0, notice);
  }
}

bool TDesktopEncoder::EnsureCaptureResources() {
  if (targetChosen_) return true;
  const platform::TCaptureStatus status = screen_->Open();
  LogScreenNotices();
  if (status != platform::TCaptureStatus::Ok) return false;

  if (targetWidth_ == 0) {
    targetWidth_ = screen_->Width();
    targetHeight_ = screen_->Height();
  } else if (!IsUsableTarget(targetWidth_, targetHeight_)) {
    log_.WriteLine(0, "picture size " + std::to_string(targetWidth_) + "x" +
                          std::to_string(targetHeight_) +
                          " in the settings is unusable, encoding the desktop size");
    targetWidth_ = screen_->Width();
    targetHeight_ = screen_->Height();
  }
  // libx264 takes 4:2:0 pictures of even sizes only: one column or row less beats no video.
  if (settings_.encodeType == kEncodeTypeH264 && ((targetWidth_ | targetHeight_) & 1) != 0 &&
      targetWidth_ > 1 && targetHeight_ > 1) {
    const int evenWidth = targetWidth_ & ~1, evenHeight = targetHeight_ & ~1;
    log_.WriteLine(0, "picture size " + std::to_string(targetWidth_) + "x" +
                          std::to_string(targetHeight_) + " is odd, encoding " +
                          std::to_string(evenWidth) + "x" + std::to_string(evenHeight));
    targetWidth_ = evenWidth;
    targetHeight_ = evenHeight;
  }
  targetChosen_ = true;

  if (targetWidth_ != encoderWidth_ || targetHeight_ != encoderHeight_) {
    encoderWidth_ = targetWidth_;
    encoderHeight_ = targetHeight_;
    if (HasEncoder() &&
        // The frame rate sets the channel's rate control and its key-frame spacing; left at the
        // library's own 25, an 8 fps stream would get a key frame only every 3 s.
        encoder_.SetVideoParameters(encoderHandle_, targetWidth_, targetHeight_,
                                    std::max(1, settings_.fps)) != 0) {
      log_.WriteLine(0, "encoder refused picture size " + std::to_string(targetWidth_) + "x" +
                            std::to_string(targetHeight_));
    }
  }
  yuvBuffer_.assign(YuvLayoutFor(targetWidth_, targetHeight_).bufferSize, 0);
  return true;
}

bool TDesktopEncoder::GrabFrame() {
  if (!EnsureCaptureResources()) return false;
  const int64_t started = platform::MonotonicMicroseconds();
  const platform::TScreenChange change =
      pictureWhole_ ? screen_->ChangeSinceLastCapture(targetWidth_, targetHeight_)
                    : platform::TScreenChange{};
  if (!change.Nothing()) {
    const bool whole = !change.known;
    pictureWhole_ = CaptureRows(whole ? 0 : change.top, whole ? targetHeight_ : change.bottom);
    LogScreenNotices();
    // A picture cut short leaves the buffer part old, part new: the next one is read in full.
    if (!pictureWhole_) return false;
    changedSinceFrame_ = true;
  }
  frameReady_ = true;
  pictureCapturedMicros_ = started;
  return true;
}

bool TDesktopEncoder::CaptureRows(int top, int bottom) {
  top = std::max(0, top) & ~1;
  bottom = std::min(bottom, targetHeight_);
  // Converted band by band as the screen is read, so only a band of the screen is ever held.
  // The row the next band must start at, -1 once a band did not fit the picture. The sink
  // captures no more than two pointers, which std::function keeps without allocating on every
  // picture.
  int next = top;
  const auto convertBand = [this, &next](const platform::TScreenPicture& band, int bandTop) {
    if (next < 0) return;
    if (band.width != targetWidth_ || bandTop != next || band.height > targetHeight_ - bandTop ||
        ((band.height & 1) != 0 && bandTop + band.height != targetHeight_)) {
      next = -1;
      return;
    }
    ConvertToYuv(band, bandTop);
    next += band.height;
  };
  const platform::TCaptureStatus status = screen_->CaptureRowsInBands(
      targetWidth_, targetHeight_, top, bottom, kCaptureBandRows, convertBand);
  return status == platform::TCaptureStatus::Ok && next >= bottom;
}

void TDesktopEncoder::ConvertToYuv(const platform::TScreenPicture& band, int top) {
  const TYuvLayout layout = YuvLayoutFor(targetWidth_, targetHeight_);
  const int chromaStride = static_cast<int>(layout.chromaStride);
  const auto lumaRow = static_cast<size_t>(top) * static_cast<size_t>(targetWidth_);
  const auto chromaRow = static_cast<size_t>(top / 2) * layout.chromaStride;
  uint8_t* y = yuvBuffer_.data() + lumaRow;
  uint8_t* v = yuvBuffer_.data() + layout.vOffset + chromaRow;
  uint8_t* u = yuvBuffer_.data() + layout.uOffset + chromaRow;
  // The chroma planes hold floor(height / 2) rows; libyuv would write one more for an odd height,
  // over the U plane's first row and past the buffer. The last row of an odd picture only has luma.
  const int evenHeight = band.height & ~1;
  if (evenHeight > 0) {
    libyuv::ARGBToI420(band.pixels, band.stride, y, band.width, u, chromaStride, v, chromaStride,
                       band.width, evenHeight);
  }
  if (band.height & 1) {
    const size_t last = static_cast<size_t>(band.height - 1);
    libyuv::ARGBToI400(band.pixels + last * static_cast<size_t>(band.stride), band.stride,
                       y + last * static_cast<size_t>(targetWidth_), band.width, band.width, 1);
  }
}

uint32_t TDesktopEncoder::MillisecondsUntilNextFrame() const {
  if (frameDue_) return 0;
  const auto ahead = static_cast<int32_t>(nextFrameTick_ - clock_.TickCount());
  return ahead > 0 ? static_cast<uint32_t>(ahead) : 0;
}

void TDesktopEncoder::GrowFrameBuffer(size_t needed) {
  if (frameBuffer_.size() >= needed) return;
  frameBuffer_.resize(((needed - 1) / 1024 + 1) * 1024);
  WriteFrameHeader(MakeFrameHeader(static_cast<uint8_t>(settings_.encodeType)), frameBuffer_);
}

void TDesktopEncoder::EncodeFrame() {
  if (!HasEncoder() || !targetChosen_) return;
  // Paced on the monotonic tick, so a clock set back or forward neither stalls nor rushes the
  // stream. Each slot follows the previous one, keeping the rate; after a stall the schedule
  // starts afresh rather than bursting to catch up.
  const uint32_t now = clock_.TickCount();
  if (!frameDue_ && static_cast<int32_t>(now - nextFrameTick_) < 0) return;
  if (frameDue_) {
    nextFrameTick_ = now + frameInterval_;
  } else {
    nextFrameTick_ += frameInterval_;
    if (static_cast<int32_t>(now - nextFrameTick_) >= 0) nextFrameTick_ = now + frameInterval_;
  }
  frameDue_ = false;

  bool key = false;
  const size_t n = WriteFrame(key);
  if (n == 0) return;
  changedSinceFrame_ = false;

  const std::optional<TFrameHeader> stored = ReadFrameHeader(frameBuffer_);
  TFrameHeader header =
      stored ? *stored : MakeFrameHeader(static_cast<uint8_t>(settings_.encodeType));
  EncodedFrameInfo info;
  info.dataLength = static_cast<int>(n);
  info.width = targetWidth_;
  info.height = targetHeight_;
  info.keyFrame = key;
  info.localTimeMs = platform::LocalMillisecondsSince1970(clock_.LocalNow());
  SetEncodedFrame(header, info);
  WriteFrameHeader(header, frameBuffer_);
  frameCapturedMicros_ = pictureCapturedMicros_;

  if (key) TryBuildFmtpLine(std::span<const uint8_t>(frameBuffer_).subspan(kFrameHeaderSize, n));
  if (onFrame_) onFrame_(*this);
}

size_t TDesktopEncoder::WriteFrame(bool& keyFrame) {
  const size_t pixels = static_cast<size_t>(targetWidth_) * static_cast<size_t>(targetHeight_);
  GrowFrameBuffer(pixels * kOutputBytesPerPixel + kFrameHeaderSize);
  uint8_t* const dest = frameBuffer_.data() + kFrameHeaderSize;
  const size_t capacity = frameBuffer_.size() - kFrameHeaderSize;
  const bool h264 = settings_.encodeType == kEncodeTypeH264;
  // Taken, not read: a request arriving while this picture is encoded is kept for the next one.
  bool wantKey = forceKeyFrame_.exchange(false, std::memory_order_relaxed);
  // libx264 counts only the pictures it codes itself; recorders cut at key frames and expect them
  // at the usual spacing whether or not the desktop moved. Without skip frames its own count is
  // right, and a request on top of it would only draw a warning from libx264.
  if (h264 && skipFrames_.ready() && skipFrames_.skippedSinceIdr() &&
      skipFrames_.picturesSinceIdr() >= keyInterval_) {
    wantKey = true;
  }

  if (h264 && !wantKey && !changedSinceFrame_) {
    const size_t skip = skipFrames_.WriteSkipFrame(dest, capacity);
    if (skip > 0) {
      keyFrame = false;
      return skip;
    }
  }
  int key = wantKey ? 1 : 0;
  const int n = encoder_.Encode(encoderHandle_, yuvBuffer_.data(), dest, ORXEN_CSP_YV12,
                                static_cast<int>(pixels * 3 / 2), targetWidth_, targetHeight_,
                                &key);
  if (n < 1) {
    if (wantKey) RequestKeyFrame();
    return 0;
  }
  keyFrame = key != 0;
  if (!h264) return static_cast<size_t>(n);

  // The channel's frame numbers go on from the skip frames sent since its last IDR picture.
  const std::optional<std::span<const uint8_t>> sent =
      skipFrames_.AdjustEncodedFrame(std::span<const uint8_t>(dest, static_cast<size_t>(n)));
  if (!sent || sent->size() > capacity) {
    // A decoder could not follow on from this picture; an IDR picture starts afresh.
    log_.WriteLine(0, "encoded picture could not follow the repeated ones, asking for a key frame");
    RequestKeyFrame();
    return 0;
  }
  if (sent->data() != dest) std::copy(sent->begin(), sent->end(), dest);
  return sent->size();
}

void TDesktopEncoder::TryBuildFmtpLine(std::span<const uint8_t> frame) {
  {
    const std::lock_guard guard(fmtpLock_);
    if (!fmtpLine_.empty()) return;
  }
  if (settings_.encodeType == kEncodeTypeMpeg4) {
    const std::optional<std::span<const uint8_t>> config = FindMpeg4Config(frame);
    if (!config) return;
    std::string line = MakeMpeg4FmtpLine(*config);
    log_.WriteLine(0, "fmtp=" + line);
    const std::lock_guard guard(fmtpLock_);
    fmtpLine_ = std::move(line);
    return;
  }
  if (settings_.encodeType != kEncodeTypeH264) return;
  const std::optional<TParameterSets> sets = FindParameterSets(frame);
  if (!sets) return;
  log_.WriteLine(0, "sps=" + std::to_string(sets->spsWithStartCode.size()));
  LogHexDump(log_, sets->spsWithStartCode.data(), sets->spsWithStartCode.size());
  log_.WriteLine(0, "pps=" + std::to_string(sets->ppsWithStartCode.size()));
  LogHexDump(log_, sets->ppsWithStartCode.data(), sets->ppsWithStartCode.size());
  std::string line = MakeFmtpLine(*sets);
  log_.WriteLine(0, "fmtp=" + line);
  log_.WriteLine(0, "send 264 flag pack, sps = " + std::to_string(sets->spsWithStartCode.size()) +
                        ", pps = " + std::to_string(sets->ppsWithStartCode.size()));
  const std::lock_guard guard(fmtpLock_);
  fmtpLine_ = std::move(line);
}

bool TDesktopEncoder::Poll() {
  GrabFrame();
  if (frameReady_) {
    frameReady_ = false;
    EncodeFrame();
  }
  return true;
}

void TDesktopEncoder::KeepUpWithScreen() {
  if (pictureWhole_) screen_->ChangeSinceLastCapture(targetWidth_, targetHeight_);
  screen_->Rest();
}

std::span<const uint8_t> TDesktopEncoder::FrameBuffer() const {
  return frameBuffer_;
}

std::string TDesktopEncoder::FmtpLine() const {
  const std::lock_guard guard(fmtpLock_);
  return fmtpLine_;
}

