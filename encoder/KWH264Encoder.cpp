#include "KWH264Encoder.h"

#include <cstring>
#include <new>

#include "DebugOutput.h"
#include "OrxEncoder.h"

namespace {

int X264ColourSpace(int colourFormat) {
  switch (colourFormat) {
    case ORXEN_CSP_UYVY:
    case ORXEN_CSP_YVYU:
      return X264_CSP_I422;
    case ORXEN_CSP_YV12:
      return X264_CSP_YV12;
    case ORXEN_CSP_BGR:
      return X264_CSP_BGR;
    case ORXEN_CSP_BGRA:
      return X264_CSP_BGRA;
    default:
      return X264_CSP_I420;
  }
}

constexpr int kNalSliceIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

}  // namespace

CKWH264Encoder::~CKWH264Encoder() {
  Close();
}

bool CKWH264Encoder::Open() {
  DebugOutput("h264 open");
  // libx264 refuses these too (4:2:0 needs even sizes), but leaks the strings of its internal
  // parameter copy when it does.
  if (width <= 0 || height <= 0 || width % 2 != 0 || height % 2 != 0) return false;
  params.reset(new (std::nothrow) x264_param_t{});
  if (!params) return false;
  x264_param_default(params.get());
  x264_param_default_preset(params.get(), "veryfast", "zerolatency");
  x264_param_t& p = *params;
  p.i_bitdepth = 8;
  p.i_csp = X264_CSP_I420;
  // -1 is clipped to a single encoding thread; 0 would mean one per core.
  p.i_threads = -1;
  p.i_width = width;
  p.i_height = height;
  p.i_keyint_max = keyInterval;
  p.b_vfr_input = 0;
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.i_fps_num = static_cast<uint32_t>(frameRate);
  p.i_fps_den = 1;
  p.i_timebase_num = p.i_fps_den;
  p.i_timebase_den = p.i_fps_num;
  x264_param_apply_profile(params.get(), "baseline");

  encoderHandle.reset(x264_encoder_open(params.get()));
  if (!encoderHandle) return false;

  pictureIn.reset(new (std::nothrow) x264_picture_t{});
  pictureOut.reset(new (std::nothrow) x264_picture_t{});
  if (!pictureIn || !pictureOut) {
    Close();
    return false;
  }
  x264_picture_init(pictureOut.get());
  // No planes of our own: libx264 copies every input picture into a frame of its own before
  // x264_encoder_encode returns, so the input can point straight at the caller's planes. Planes
  // allocated here would cost a full-size picture of memory and a full-picture copy per call.
  x264_picture_init(pictureIn.get());
  frameCount = 0;
  return true;
}

void CKWH264Encoder::Close() {
  encoderHandle.reset();
  // pictureIn's planes are the caller's and pictureOut's belong to libx264: neither is freed here.
  pictureIn.reset();
  pictureOut.reset();
  params.reset();
  nals = nullptr;
  nalCount = 0;
  DebugOutput("h264 close");
}

int CKWH264Encoder::Encode(const uint8_t* source, uint8_t* dest, int colourFormat, int,
                           int pictureW, int pictureH, int* keyFrame) {
  if (!encoderHandle) return ORXEN_ERR_NOT_OPEN;
  pictureWidth = pictureW;
  if (!PictureFits(source, dest, pictureW, pictureH)) {
    // libx264 was opened for the configured size: another size would read past the planes given.
    if (keyFrame) *keyFrame = 0;
    ++frameCount;
    return ORXEN_ERR_BAD_PICTURE;
  }

  const size_t lumaSize = static_cast<size_t>(pictureW) * static_cast<size_t>(pictureH);
  const size_t chromaSize = lumaSize >> 2;
  x264_image_t& img = pictureIn->img;
  // libx264 only reads the input planes; its API just has no const for them.
  uint8_t* const planes = const_cast<uint8_t*>(source);
  img.i_plane = 3;
  img.plane[0] = planes;
  img.i_stride[0] = pictureW;
  img.plane[1] = planes + lumaSize;
  img.i_stride[1] = pictureW >> 1;
  img.plane[2] = planes + lumaSize + chromaSize;
  img.i_stride[2] = pictureW >> 1;
  pictureIn->i_pts = static_cast<int64_t>(frameCount);
  img.i_csp = X264ColourSpace(colourFormat);

  nals = nullptr;
  nalCount = 0;
  pictureIn->i_type = (keyFrame && *keyFrame != 0) ? X264_TYPE_IDR : X264_TYPE_AUTO;
  const int result =
      x264_encoder_encode(encoderHandle.get(), &nals, &nalCount, pictureIn.get(), pictureOut.get());
  if (keyFrame) *keyFrame = 0;
  if (result > 0) {
    uint8_t* out = dest;
    for (int i = 0; i < nalCount; ++i) {
      const x264_nal_t& nal = nals[i];
      std::memcpy(out, nal.p_payload, static_cast<size_t>(nal.i_payload));
      out += nal.i_payload;
      if (keyFrame &&
          (nal.i_type == kNalSliceIdr || nal.i_type == kNalSps || nal.i_type == kNalPps)) {
        *keyFrame = 1;
      }
    }
  }
  ++frameCount;
  return result;
}
