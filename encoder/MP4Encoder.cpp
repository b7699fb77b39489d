#include "MP4Encoder.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include <xvid.h>

#include "OrxEncoder.h"

namespace {

// Every record handed to xvidcore carries the API version we were written against.
constexpr int kXvidVersion = 0x10302;
constexpr int kProfileAdvancedSimpleL4 = 0xF4;
constexpr int kTimeBase = 25;
constexpr int kMotionFlags = 0x454;
constexpr int kVopFlags = 0x4;
constexpr int kDefaultKeyInterval = 300;
constexpr int kZoneBase = 100;

struct Zone {
  int frame;
  int mode;
  int modifier;
};

// Shared by every MPEG-4 channel of the process, like xvidcore's own global state. The first
// channel must be created and opened before other threads use MPEG-4 channels.
bool xvidStarted = false;
std::array<Zone, 64> zoneList{};
size_t zoneCount = 0;

void EnsureQuantZoneAtStart() {
  if (zoneCount != 0 && zoneList[0].frame == 0) return;
  if (zoneCount == zoneList.size()) --zoneCount;
  zoneList[zoneCount++] = Zone{0, XVID_ZONE_QUANT, 0};
  std::stable_sort(zoneList.begin(), zoneList.begin() + static_cast<std::ptrdiff_t>(zoneCount),
                   [](const Zone& a, const Zone& b) { return a.frame < b.frame; });
  for (size_t i = 0; i < zoneCount; ++i) {
    if (zoneList[i].mode == XVID_ZONE_WEIGHT) zoneList[i].mode = XVID_ZONE_QUANT;
  }
}

int XvidColourSpace(int colourFormat) {
  switch (colourFormat) {
    case ORXEN_CSP_UYVY:
      return XVID_CSP_UYVY;
    case ORXEN_CSP_YVYU:
      return XVID_CSP_YVYU;
    case ORXEN_CSP_YV12:
      return XVID_CSP_YV12;
    case ORXEN_CSP_I420:
      return XVID_CSP_I420;
    case ORXEN_CSP_BGR:
      return XVID_CSP_BGR;
    case ORXEN_CSP_BGRA:
      return XVID_CSP_ARGB;
    default:
      return XVID_CSP_NULL;
  }
}

void PrintCpuFlags(unsigned flags) {
  struct Flag {
    unsigned bit;
    const char* word;
  };
  static constexpr Flag kFlags[] = {{XVID_CPU_ASM, "ASM "},           {XVID_CPU_MMX, "MMX "},
                                    {XVID_CPU_MMXEXT, "MMXEXT "},     {XVID_CPU_SSE, "SSE "},
                                    {XVID_CPU_SSE2, "SSE2 "},         {XVID_CPU_SSE3, "SSE3 "},
                                    {XVID_CPU_SSE41, "SSE41 "},       {XVID_CPU_3DNOW, "3DNOW "},
                                    {XVID_CPU_3DNOWEXT, "3DNOWEXT "}, {XVID_CPU_TSC, "TSC "}};
  std::fputs("Detected CPU flags: ", stderr);
  for (const Flag& f : kFlags) {
    if (flags & f.bit) std::fputs(f.word, stderr);
  }
  std::fputs("\n", stderr);
}

}  // namespace

void StartXvidCore() {
  if (xvidStarted) return;
  xvidStarted = true;

  xvid_gbl_init_t init{};
  init.version = kXvidVersion;
  init.cpu_flags = 0;
  init.debug = 0;
  xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);

  xvid_gbl_info_t info{};
  info.version = kXvidVersion;
  xvid_global(nullptr, XVID_GBL_INFO, &info, nullptr);
  if (info.build) std::fprintf(stderr, "xvidcore build version: %s\n", info.build);
  std::fprintf(stderr, "Bitstream version: %d.%d.%d\n", (info.actual_version >> 16) & 0xff,
               (info.actual_version >> 8) & 0xff, info.actual_version & 0xff);
  PrintCpuFlags(info.cpu_flags);
  std::fprintf(stderr, "Detected %d cpus,", info.num_threads);
  std::fprintf(stderr, " using %d threads.\n", info.num_threads);
}

CMP4Encoder::~CMP4Encoder() {
  Close();
}

bool CMP4Encoder::Open() {
  xvid_plugin_single_t single{};
  single.version = kXvidVersion;
  single.bitrate = bitRate;
  single.reaction_delay_factor = 16;
  single.averaging_period = 100;
  single.buffer = 100;
  xvid_enc_plugin_t plugin{xvid_plugin_single, &single};

  if (bitRate != 0) EnsureQuantZoneAtStart();
  // A quantizer zone with modifier 0 asks for quantizer 0, which xvidcore clamps to the minimum
  // on every picture: the rate control would never run and the bit rate would be ignored. Such
  // zones stay in the list but are not handed to the codec.
  std::array<xvid_enc_zone_t, zoneList.size()> zones{};
  size_t passed = 0;
  for (size_t i = 0; i < zoneCount; ++i) {
    if (zoneList[i].mode == XVID_ZONE_QUANT && zoneList[i].modifier == 0) continue;
    zones[passed++] =
        xvid_enc_zone_t{zoneList[i].frame, zoneList[i].mode, zoneList[i].modifier, kZoneBase};
  }

  xvid_enc_create_t create{};
  create.version = kXvidVersion;
  create.profile = kProfileAdvancedSimpleL4;
  create.width = width;
  create.height = height;
  create.num_zones = static_cast<int>(passed);
  create.zones = passed ? zones.data() : nullptr;
  create.num_plugins = 1;
  create.plugins = &plugin;
  create.num_threads = 0;
  create.global = XVID_GLOBAL_PACKED | XVID_GLOBAL_CLOSED_GOP;
  create.fincr = 1;
  create.fbase = kTimeBase;
  create.max_key_interval = frameRate > 0     ? 2 * frameRate
                            : keyInterval > 0 ? keyInterval
                                              : kDefaultKeyInterval;
  create.frame_drop_ratio = 0;
  if (channelOption != 0) {
    create.max_bframes = 2;
    create.bquant_ratio = 150;
    create.bquant_offset = 100;
  }
  std::fill(std::begin(create.min_quant), std::end(create.min_quant), 2);
  std::fill(std::begin(create.max_quant), std::end(create.max_quant), 31);
  create.start_frame_num = 0;
  create.num_slices = 1;

  const int result = xvid_encore(nullptr, XVID_ENC_CREATE, &create, nullptr);
  encoderHandle = create.handle;
  if (result != 0) {
    encoderHandle = nullptr;
    return false;
  }
  frameCount = 0;
  return true;
}

void CMP4Encoder::Close() {
  if (!encoderHandle) return;
  lastStatus = xvid_encore(encoderHandle, XVID_ENC_DESTROY, nullptr, nullptr);
  encoderHandle = nullptr;
  if (lastStatus != 0) std::fprintf(stderr, "Encore RELEASE problem return value %d\n", lastStatus);
}

int CMP4Encoder::Encode(const uint8_t* source, uint8_t* dest, int colourFormat, int, int pictureW,
                        int pictureH, int* keyFrame) {
  if (!encoderHandle) return ORXEN_ERR_NOT_OPEN;
  pictureWidth = pictureW;
  pictureHeight = pictureH;
  pictureColourSpace = XvidColourSpace(colourFormat);
  // xvidcore reads the configured size from the input; a different size would overrun it. A null
  // source is allowed: it asks the codec to code without a new input picture.
  if (dest == nullptr || pictureW != width || pictureH != height) {
    if (keyFrame) *keyFrame = 0;
    ++frameCount;
    return ORXEN_ERR_BAD_PICTURE;
  }

  xvid_enc_frame_t frame{};
  frame.version = kXvidVersion;
  frame.par = XVID_PAR_11_VGA;
  frame.par_width = pictureWidth;
  frame.par_height = pictureHeight;
  if (source) {
    frame.input.csp = pictureColourSpace;
    frame.input.plane[0] = const_cast<uint8_t*>(source);
  } else {
    frame.input.csp = XVID_CSP_NULL;
  }
  if (frame.input.csp == XVID_CSP_BGR || frame.input.csp == XVID_CSP_RGB)
    pictureWidth = pictureW * 3;
  frame.input.stride[0] = pictureWidth;
  frame.vop_flags = kVopFlags;
  frame.motion = kMotionFlags;
  frame.type = (keyFrame && *keyFrame != 0) ? XVID_TYPE_IVOP : XVID_TYPE_AUTO;
  frame.quant = quant;
  frame.bitstream = dest;
  frame.length = -1;

  xvid_enc_stats_t stats{};
  stats.version = kXvidVersion;
  const int result = xvid_encore(encoderHandle, XVID_ENC_ENCODE, &frame, &stats);
  if (keyFrame) *keyFrame = frame.out_flags & XVID_KEYFRAME;
  ++frameCount;
  return result;
}
