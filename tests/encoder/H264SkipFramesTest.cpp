#include "encoder/H264SkipFrames.h"

#include <gtest/gtest.h>

#include <array>
#include <utility>

#include "EncoderTestHelpers.h"
#include "encoder/H264Bits.h"
#include "tests/support/StrictDecode.h"

namespace {

void Append(std::vector<uint8_t>& stream, const uint8_t* bytes, size_t size) {
  stream.insert(stream.end(), bytes, bytes + size);
}

// The checksum of every picture decoded, both decoders having accepted the stream.
std::vector<std::string> DecodedChecksums(const std::vector<uint8_t>& stream) {
  TStrictDecode decoded = StrictlyDecode(stream);
  EXPECT_TRUE(decoded.ffmpegAccepted) << "ffmpeg refused the stream";
  EXPECT_EQ(decoded.gstComplaint, "");
  return std::move(decoded.pictureSums);
}

// x: a libx264 picture of new content, k: one requested as IDR, s: a skip frame. The long run of
// skips takes frame_num past its wrap before libx264 resumes. 1080 lines are cropped from 1088.
class SkipFramesAtSize : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SkipFramesAtSize, DecodersRepeatPicturesAndResumeLibx264sWithoutIdr) {
  const auto [width, height] = GetParam();
  Channel channel(ORXEN_TYPE_H264, 0);
  ASSERT_EQ(Library().SetVideoParam(channel.get(), width, height, 0), 0);
  const std::string steps = "xxsssx" + std::string(70, 's') + "xxksx";
  TH264SkipFrames skips;
  std::vector<uint8_t> withSkips, plain;
  int index = 0;
  for (const char step : steps) {
    if (step == 's') {
      std::array<uint8_t, TH264SkipFrames::kMaxSkipFrameSize> unit{};
      const size_t size = skips.WriteSkipFrame(unit.data(), unit.size());
      ASSERT_GT(size, 0u) << "at " << withSkips.size();
      Append(withSkips, unit.data(), size);
      continue;
    }
    EncodedPicture p = EncodePicture(channel.get(), width, height, index++, step == 'k');
    ASSERT_GT(p.result, 0);
    Append(plain, p.bytes.data(), p.bytes.size());
    const auto sent = skips.AdjustEncodedFrame(p.bytes);
    ASSERT_TRUE(sent);
    Append(withSkips, sent->data(), sent->size());
  }
  EXPECT_EQ(skips.picturesSinceIdr(), static_cast<int>(steps.size() - steps.rfind('k')));

  const std::vector<std::string> sums = DecodedChecksums(withSkips);
  const std::vector<std::string> plainSums = DecodedChecksums(plain);
  ASSERT_EQ(sums.size(), steps.size());
  ASSERT_EQ(plainSums.size(), static_cast<size_t>(index));
  size_t encoded = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    // A skip frame shows the picture before it; libx264's show what they show without skips.
    EXPECT_EQ(sums[i], steps[i] == 's' ? sums[i - 1] : plainSums[encoded++]) << "picture " << i;
  }
}
INSTANTIATE_TEST_SUITE_P(H264SkipFrames, SkipFramesAtSize,
                         ::testing::Values(std::pair{320, 240}, std::pair{1920, 1080}));

// Parameter sets written field by field, to reach the kinds libx264 is not set up to write here.
struct TSetsCase {
  const char* name;
  bool accepted;
  uint32_t pocType = 2;
  bool framesOnly = true;
  uint32_t ppsSpsId = 0;
  bool cabac = false;
  uint32_t sliceGroupsMinus1 = 0;
  uint32_t refsMinus1 = 0;
  bool weighted = false;
  size_t keptPpsBytes = 64;
};

std::vector<uint8_t> IdrWithSets(const TSetsCase& c) {
  std::array<uint8_t, 64> sps{}, pps{};
  TH264BitWriter s(sps);
  s.WriteBits(0x6742001e, 32);  // header, Baseline, level 3
  for (const uint32_t ue : {0u, 1u, c.pocType}) s.WriteUe(ue);
  if (c.pocType == 0) s.WriteUe(2);
  if (c.pocType == 1) s.WriteBits(0b1111, 4);  // always zero, two offsets, empty cycle
  s.WriteUe(1);
  s.WriteFlag(false);  // no frame_num gaps
  for (const uint32_t ue : {19u, 14u}) s.WriteUe(ue);
  s.WriteFlag(c.framesOnly);
  s.WriteBits(0b0100, c.framesOnly ? 3 : 4);  // (field MBs), direct 8x8, no cropping, no VUI
  s.WriteTrailingBits();
  TH264BitWriter p(pps);
  p.WriteBits(0x68, 8);
  for (const uint32_t ue : {0u, c.ppsSpsId}) p.WriteUe(ue);
  p.WriteBits(c.cabac ? 2 : 0, 2);
  for (const uint32_t ue : {c.sliceGroupsMinus1, c.refsMinus1, 0u}) p.WriteUe(ue);
  p.WriteBits(c.weighted ? 0b100111 : 0b000111, 6);  // weighting, QPs and offset 0
  p.WriteBits(0b100, 3);                             // deblocking control
  p.WriteTrailingBits();
  std::vector<uint8_t> au{0, 0, 0, 1};
  AddH264EmulationPrevention(std::span<const uint8_t>(sps.data(), s.byteCount()), au);
  Append(au, std::array<uint8_t, 4>{0, 0, 0, 1}.data(), 4);
  AddH264EmulationPrevention(
      std::span<const uint8_t>(pps.data(), std::min(p.byteCount(), c.keptPpsBytes)), au);
  Append(au, std::array<uint8_t, 6>{0, 0, 1, 0x65, 0x88, 0x84}.data(), 6);
  return au;
}

TEST(H264SkipFrames, ParameterSetsAcceptedOnlyWhenTheSkipSliceCanFollowThem) {
  const TSetsCase cases[] = {
      {"baseline", true},
      {"two default references", true, 2, true, 0, false, 0, 1},
      {"order count type 0", false, 0},
      {"order count type 1", false, 1},
      {"interlaced", false, 2, false},
      {"other sequence", false, 2, true, 1},
      {"CABAC", false, 2, true, 0, true},
      {"slice groups", false, 2, true, 0, false, 1},
      {"weighted prediction", false, 2, true, 0, false, 0, 0, true},
      {"picture set cut short", false, 2, true, 0, false, 0, 0, false, 2},
  };
  for (const TSetsCase& c : cases) {
    TH264SkipFrames skips;
    std::array<uint8_t, TH264SkipFrames::kMaxSkipFrameSize> unit{};
    ASSERT_TRUE(skips.LearnParameterSets(IdrWithSets({"known good", true})));
    EXPECT_EQ(skips.LearnParameterSets(IdrWithSets(c)), c.accepted) << c.name;
    EXPECT_EQ(skips.WriteSkipFrame(unit.data(), unit.size()) > 0, c.accepted) << c.name;
    EXPECT_EQ(skips.WriteSkipFrame(unit.data(), 6), 0u) << c.name;
  }
}

TEST(H264SkipFrames, UnreadableSliceAfterSkipsIsRefusedAndLeftAlone) {
  TH264SkipFrames skips;
  std::array<uint8_t, TH264SkipFrames::kMaxSkipFrameSize> unit{};
  EXPECT_EQ(skips.WriteSkipFrame(unit.data(), unit.size()), 0u);
  std::vector<uint8_t> idr = IdrWithSets({"", true});
  ASSERT_TRUE(skips.AdjustEncodedFrame(idr));
  ASSERT_GT(skips.WriteSkipFrame(unit.data(), unit.size()), 0u);
  for (const std::vector<uint8_t>& cut :
       {std::vector<uint8_t>{0, 0, 1, 0x41}, {0, 0, 1, 0x41, 0x9a, 0}}) {
    EXPECT_FALSE(skips.AdjustEncodedFrame(cut));
  }
}

}  // namespace
