#include "H264SkipFrames.h"

#include <algorithm>
#include <array>

#include "H264Bits.h"

namespace {

constexpr unsigned kNalSlice = 1;
constexpr unsigned kNalIdrSlice = 5;
constexpr unsigned kNalSps = 7;
constexpr unsigned kNalPps = 8;
constexpr uint32_t kSliceTypeP = 5;  // P, and every other slice of the picture P too
constexpr uint32_t kMaxParameterSetId = 31;

unsigned NalType(std::span<const uint8_t> unit) {
  return unit[0] & 0x1fu;
}

struct TSequence {
  uint32_t id = 0;
  unsigned log2MaxFrameNum = 0;
  uint32_t picSizeInMbs = 0;
};

// Profiles whose sequence parameter sets carry chroma format, bit depths and scaling lists.
bool HasHighProfileFields(uint32_t profile) {
  switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
      return true;
    default:
      return false;
  }
}

bool ParseSequence(std::span<const uint8_t> rbsp, TSequence& sps) {
  TH264BitReader r(rbsp);
  r.ReadBits(8);  // NAL header
  const uint32_t profile = r.ReadBits(8);
  r.ReadBits(16);  // constraint flags, level
  sps.id = r.ReadUe();
  if (HasHighProfileFields(profile)) {
    const uint32_t chromaFormat = r.ReadUe();
    if (chromaFormat == 3 && r.ReadFlag()) return false;  // colour planes coded apart
    r.ReadUe();                                           // bit depths
    r.ReadUe();
    r.ReadFlag();                    // transform bypass
    if (r.ReadFlag()) return false;  // scaling lists: never from this program's libx264 setup
  }
  const uint32_t log2MaxFrameNumMinus4 = r.ReadUe();
  const uint32_t pocType = r.ReadUe();
  // Types 0 and 1 put picture order fields in every slice header that the skip slice would have
  // to fill in to match libx264's counting.
  if (pocType != 2) return false;
  const uint32_t maxRefFrames = r.ReadUe();
  r.ReadFlag();  // gaps in frame_num allowed
  const uint32_t widthInMbs = r.ReadUe() + 1;
  const uint32_t heightInMapUnits = r.ReadUe() + 1;
  const bool framesOnly = r.ReadFlag();
  if (r.failed() || sps.id > kMaxParameterSetId || log2MaxFrameNumMinus4 > 12 ||
      maxRefFrames == 0 || !framesOnly || widthInMbs > 1024 || heightInMapUnits > 1024) {
    return false;
  }
  sps.log2MaxFrameNum = log2MaxFrameNumMinus4 + 4;
  sps.picSizeInMbs = widthInMbs * heightInMapUnits;
  return true;
}

struct TPicture {
  uint32_t id = 0;
  uint32_t spsId = 0;
  bool overrideRefCount = false;
  bool deblockingControl = false;
};

bool ParsePicture(std::span<const uint8_t> rbsp, TPicture& pps) {
  TH264BitReader r(rbsp);
  r.ReadBits(8);  // NAL header
  pps.id = r.ReadUe();
  pps.spsId = r.ReadUe();
  const bool cabac = r.ReadFlag();
  r.ReadFlag();  // bottom field order present
  const uint32_t sliceGroupsMinus1 = r.ReadUe();
  const uint32_t refCountMinus1 = r.ReadUe();
  r.ReadUe();  // list 1 count
  const bool weightedPrediction = r.ReadFlag();
  r.ReadBits(2);  // weighted bi-prediction
  r.ReadSe();     // initial QP, QS, chroma QP offset
  r.ReadSe();
  r.ReadSe();
  pps.deblockingControl = r.ReadFlag();
  r.ReadFlag();  // constrained intra prediction
  const bool redundantPictures = r.ReadFlag();
  pps.overrideRefCount = refCountMinus1 != 0;
  return !r.failed() && pps.id <= 255 && pps.spsId <= kMaxParameterSetId && !cabac &&
         sliceGroupsMinus1 == 0 && refCountMinus1 <= 31 && !weightedPrediction &&
         !redundantPictures;
}

}  // namespace

bool TH264SkipFrames::LearnParameterSets(std::span<const uint8_t> accessUnit) {
  setsKnown_ = false;
  TSequence sps;
  TPicture pps;
  bool haveSps = false;
  bool havePps = false;
  bool idr = false;
  TAnnexBUnits units(accessUnit);
  std::span<const uint8_t> unit;
  while (units.Next(unit)) {
    const unsigned type = NalType(unit);
    if (type == kNalIdrSlice) idr = true;
    if (type != kNalSps && type != kNalPps) continue;
    rbsp_.clear();
    RemoveH264EmulationPrevention(unit, rbsp_);
    if (type == kNalSps) {
      haveSps = ParseSequence(rbsp_, sps);
      if (!haveSps) return false;
    } else {
      havePps = ParsePicture(rbsp_, pps);
      if (!havePps) return false;
    }
  }
  if (!haveSps || !havePps || pps.spsId != sps.id) return false;
  ppsId_ = pps.id;
  log2MaxFrameNum_ = sps.log2MaxFrameNum;
  picSizeInMbs_ = sps.picSizeInMbs;
  overrideRefCount_ = pps.overrideRefCount;
  deblockingControl_ = pps.deblockingControl;
  setsKnown_ = true;
  // Room for a typical coded picture up front, so that steady streaming does not allocate.
  constexpr size_t kBytesPerMacroblock = 128, kMostReserved = size_t{8} << 20;
  const size_t room = std::min(size_t{picSizeInMbs_} * kBytesPerMacroblock, kMostReserved);
  rbsp_.reserve(room);
  out_.reserve(room);
  if (idr) StartAtIdr();
  return true;
}

void TH264SkipFrames::StartAtIdr() {
  idrSeen_ = true;
  lastWasReference_ = true;
  lastFrameNum_ = 0;  // an IDR picture's frame_num is always 0
  skippedSinceIdr_ = 0;
  picturesSinceIdr_ = 1;
  anySkipSinceIdr_ = false;
}

size_t TH264SkipFrames::WriteSkipFrame(uint8_t* dest, size_t capacity) {
  // After a non-reference picture the decoder would repeat the reference before it instead.
  if (!ready() || !lastWasReference_ || dest == nullptr) return 0;
  const uint32_t frameNumMask = (1u << log2MaxFrameNum_) - 1;
  const uint32_t frameNum = (lastFrameNum_ + 1) & frameNumMask;

  std::array<uint8_t, kMaxSkipFrameSize> rbsp{};
  TH264BitWriter w(rbsp);
  w.WriteBits(0, 1);  // forbidden_zero_bit
  w.WriteBits(refIdc_, 2);
  w.WriteBits(kNalSlice, 5);
  w.WriteUe(0);  // first macroblock
  w.WriteUe(kSliceTypeP);
  w.WriteUe(ppsId_);
  w.WriteBits(frameNum, log2MaxFrameNum_);
  // Picture order count type 2 derives the order from frame_num: no fields here.
  w.WriteFlag(overrideRefCount_);
  if (overrideRefCount_) w.WriteUe(0);  // one reference: the previous picture
  w.WriteFlag(false);                   // reference list kept as built
  w.WriteFlag(false);                   // sliding-window marking, as libx264's P pictures
  w.WriteSe(0);                         // QP: no residual is coded anyway
  // Nothing changes across skipped macroblocks, so filtering would only cost decoder time.
  if (deblockingControl_) w.WriteUe(1);
  w.WriteUe(picSizeInMbs_);  // mb_skip_run over the whole picture
  w.WriteTrailingBits();
  if (w.failed()) return 0;

  static constexpr std::array<uint8_t, 4> kStartCode{0, 0, 0, 1};
  if (capacity < kStartCode.size()) return 0;
  const size_t payload = AddH264EmulationPrevention(
      std::span<const uint8_t>(rbsp.data(), w.byteCount()),
      std::span<uint8_t>(dest + kStartCode.size(), capacity - kStartCode.size()));
  if (payload == 0) return 0;
  std::copy(kStartCode.begin(), kStartCode.end(), dest);
  lastFrameNum_ = frameNum;
  skippedSinceIdr_ = (skippedSinceIdr_ + 1) & frameNumMask;
  ++picturesSinceIdr_;
  anySkipSinceIdr_ = true;
  return kStartCode.size() + payload;
}

std::optional<std::span<const uint8_t>> TH264SkipFrames::AdjustEncodedFrame(
    std::span<const uint8_t> accessUnit) {
  bool idr = false;
  bool sets = false;
  bool picture = false;
  {
    TAnnexBUnits units(accessUnit);
    std::span<const uint8_t> unit;
    while (units.Next(unit)) {
      const unsigned type = NalType(unit);
      idr = idr || type == kNalIdrSlice;
      sets = sets || type == kNalSps || type == kNalPps;
      picture = picture || type == kNalSlice;
    }
  }
  if (idr) {
    if (sets) LearnParameterSets(accessUnit);
    StartAtIdr();
    return accessUnit;
  }
  if (!ready()) {  // nothing was skipped: libx264's numbering stands
    if (picture) ++picturesSinceIdr_;
    return accessUnit;
  }

  const bool rewrite = skippedSinceIdr_ != 0;
  out_.clear();
  bool firstSlice = true;
  size_t copiedTo = 0;
  TAnnexBUnits units(accessUnit);
  std::span<const uint8_t> unit;
  while (units.Next(unit)) {
    if (NalType(unit) != kNalSlice) continue;
    const auto begin = static_cast<size_t>(unit.data() - accessUnit.data());
    if (rewrite) {
      out_.insert(out_.end(), accessUnit.begin() + static_cast<std::ptrdiff_t>(copiedTo),
                  accessUnit.begin() + static_cast<std::ptrdiff_t>(begin));
    }
    if (!RenumberSlice(unit, firstSlice)) return std::nullopt;
    copiedTo = begin + unit.size();
  }
  if (firstSlice) return accessUnit;  // no picture in it
  ++picturesSinceIdr_;
  if (!rewrite) return accessUnit;
  out_.insert(out_.end(), accessUnit.begin() + static_cast<std::ptrdiff_t>(copiedTo),
              accessUnit.end());
  return std::span<const uint8_t>(out_);
}

bool TH264SkipFrames::RenumberSlice(std::span<const uint8_t> payload, bool& firstSlice) {
  // The fields read fit well inside the first bytes; the whole slice is needed only to rewrite.
  constexpr size_t kHeaderBytes = 24;
  const bool rewrite = skippedSinceIdr_ != 0;
  rbsp_.clear();
  RemoveH264EmulationPrevention(
      rewrite ? payload : payload.first(std::min(payload.size(), kHeaderBytes)), rbsp_);
  TH264BitReader r(rbsp_);
  const auto refIdc = static_cast<uint8_t>(r.ReadBits(8) >> 5);
  r.ReadUe();  // first macroblock
  r.ReadUe();  // slice type
  const uint32_t ppsId = r.ReadUe();
  const size_t frameNumAt = r.bitPosition();
  const uint32_t frameNum = r.ReadBits(log2MaxFrameNum_);
  if (r.failed() || ppsId != ppsId_) return false;
  const uint32_t renumbered = (frameNum + skippedSinceIdr_) & ((1u << log2MaxFrameNum_) - 1);
  if (rewrite) OverwriteH264Bits(rbsp_, frameNumAt, renumbered, log2MaxFrameNum_);
  if (firstSlice) {
    firstSlice = false;
    lastWasReference_ = refIdc != 0;
    if (lastWasReference_) {
      lastFrameNum_ = renumbered;
      refIdc_ = refIdc;
    }
  }
  if (rewrite) AddH264EmulationPrevention(rbsp_, out_);
  return true;
}
