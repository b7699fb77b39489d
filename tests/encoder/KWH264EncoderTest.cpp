#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "EncoderTestHelpers.h"
#include "tests/support/Subprocess.h"
#include "tests/support/SyntheticPicture.h"

namespace {

class H264Channel : public ::testing::Test {
 protected:
  void Open(int width, int height) {
    ASSERT_NE(channel_.get(), nullptr);
    ASSERT_EQ(Library().SetVideoParam(channel_.get(), width, height, 0), 0);
  }
  Channel channel_{ORXEN_TYPE_H264, 0};
};

TEST_F(H264Channel, FirstOutputIsIdrWithParameterSets) {
  Open(320, 240);
  const EncodedPicture first = EncodePicture(channel_.get(), 320, 240, 0);
  ASSERT_GT(first.result, 0);
  EXPECT_EQ(first.keyFrame, 1);
  EXPECT_TRUE(IsIdrWithParameterSets(first.bytes));
  const std::vector<int> types = NalTypes(first.bytes);
  ASSERT_GE(types.size(), 2u);
  EXPECT_EQ(types[0], 7);
  EXPECT_EQ(types[1], 8);
}

TEST_F(H264Channel, KeyFramesAtMostEveryInterval) {
  Open(320, 240);
  std::vector<int> idrAt;
  for (int i = 0; i < 80; ++i) {
    const EncodedPicture p = EncodePicture(channel_.get(), 320, 240, i);
    ASSERT_GT(p.result, 0) << "picture " << i;
    const bool idr = IsIdrWithParameterSets(p.bytes);
    EXPECT_EQ(p.keyFrame, idr ? 1 : 0) << "picture " << i;
    if (idr) idrAt.push_back(i);
  }
  ASSERT_FALSE(idrAt.empty());
  EXPECT_EQ(idrAt.front(), 0);
  idrAt.push_back(80);
  for (size_t i = 1; i < idrAt.size(); ++i) {
    EXPECT_LE(idrAt[i] - idrAt[i - 1], 25)
        << "between pictures " << idrAt[i - 1] << " and " << idrAt[i];
  }
}

TEST_F(H264Channel, RequestedKeyFrameIsIdrAndNextIsNot) {
  Open(320, 240);
  for (int i = 0; i < 7; ++i) EncodePicture(channel_.get(), 320, 240, i);
  const EncodedPicture forced = EncodePicture(channel_.get(), 320, 240, 7, true);
  EXPECT_EQ(forced.keyFrame, 1);
  EXPECT_TRUE(IsIdrWithParameterSets(forced.bytes));
  const EncodedPicture next = EncodePicture(channel_.get(), 320, 240, 8);
  ASSERT_GT(next.result, 0);
  EXPECT_EQ(next.keyFrame, 0);
  const std::vector<int> types = NalTypes(next.bytes);
  EXPECT_EQ(std::count(types.begin(), types.end(), 5), 0);
  EXPECT_EQ(std::count(types.begin(), types.end(), 1), 1);
}

TEST_F(H264Channel, FrameCountCountsRefusedPicturesAndRestartsOnOpen) {
  Open(64, 48);
  const CBaseKWEncoder& f = Fields(channel_.get());
  std::vector<uint8_t> small(32 * 32 * 3 / 2, 1);
  std::vector<uint8_t> dest(1 << 16, 0x5A);
  for (int i = 0; i < 3; ++i) {
    int keyFrame = 1;
    EXPECT_EQ(Library().Encode(channel_.get(), small.data(), dest.data(), ORXEN_CSP_YV12,
                               static_cast<int>(small.size()), 32, 32, &keyFrame),
              ORXEN_ERR_BAD_PICTURE);
    EXPECT_EQ(keyFrame, 0);
  }
  EXPECT_EQ(f.frameCount, 3);
  EXPECT_EQ(f.pictureWidth, 32);
  EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0x5A; }));

  // The refused pictures did not disturb the stream: the first real one still opens it.
  EXPECT_TRUE(IsIdrWithParameterSets(EncodePicture(channel_.get(), 64, 48, 0).bytes));
  EXPECT_EQ(f.frameCount, 4);
  ASSERT_EQ(Library().SetVideoParam(channel_.get(), 96, 64, 0), 0);
  EXPECT_EQ(f.frameCount, 0);
  EXPECT_TRUE(IsIdrWithParameterSets(EncodePicture(channel_.get(), 96, 64, 0).bytes));
}

TEST_F(H264Channel, OpenAndCloseAreAnnouncedOnStandardError) {
  ::testing::internal::CaptureStderr();
  {
    Channel channel(ORXEN_TYPE_H264, 0);
    Library().SetVideoParam(channel.get(), 64, 48, 0);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("h264 open\n"), std::string::npos) << err;
  EXPECT_NE(err.find("h264 close\n"), std::string::npos) << err;
}

TEST_F(H264Channel, KeyIntervalFromSetupEncodeIsHonoured) {
  Open(160, 120);
  ASSERT_EQ(Library().SetupEncode(channel_.get(), 0, 10, 0), 1);
  int idrCount = 0;
  for (int i = 0; i < 40; ++i) {
    if (IsIdrWithParameterSets(EncodePicture(channel_.get(), 160, 120, i).bytes)) ++idrCount;
  }
  EXPECT_GE(idrCount, 4);
}

TEST_F(H264Channel, RealDecoderReadsBaselineStreamOfRightSizeAndLength) {
  Open(640, 480);
  std::vector<EncodedPicture> pictures;
  for (int i = 0; i < 50; ++i) {
    pictures.push_back(EncodePicture(channel_.get(), 640, 480, i, i == 30));
    ASSERT_GT(pictures.back().result, 0);
  }
  TempFile file("stream.h264");
  WriteStream(file.path(), pictures);
  const std::string probe =
      ProbeStream(file.path(), "h264", "stream=codec_name,profile,width,height,nb_read_frames");
  EXPECT_EQ(ProbeValue(probe, "codec_name"), "h264") << probe;
  EXPECT_NE(ProbeValue(probe, "profile").find("Baseline"), std::string::npos) << probe;
  EXPECT_EQ(ProbeValue(probe, "width"), "640");
  EXPECT_EQ(ProbeValue(probe, "height"), "480");
  EXPECT_EQ(ProbeValue(probe, "nb_read_frames"), "50");
}

// Colour format 3 carries V before U, format 4 U before V: swapping the chroma planes of the input
// and the format code must give the same coded pictures.
TEST_F(H264Channel, ChromaPlaneOrderFollowsColourFormat) {
  Open(64, 48);
  Channel other(ORXEN_TYPE_H264, 0);
  ASSERT_EQ(Library().SetVideoParam(other.get(), 64, 48, 0), 0);
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> yv12 = MakeMovingPicture(64, 48, i);
    std::vector<uint8_t> i420 = yv12;
    const size_t luma = 64 * 48;
    const size_t chroma = luma / 4;
    std::copy_n(yv12.begin() + static_cast<long>(luma + chroma), chroma,
                i420.begin() + static_cast<long>(luma));
    std::copy_n(yv12.begin() + static_cast<long>(luma), chroma,
                i420.begin() + static_cast<long>(luma + chroma));
    std::vector<uint8_t> a(1 << 16), b(1 << 16);
    int ka = 0, kb = 0;
    const int ra = Library().Encode(channel_.get(), yv12.data(), a.data(), ORXEN_CSP_YV12,
                                    static_cast<int>(yv12.size()), 64, 48, &ka);
    const int rb = Library().Encode(other.get(), i420.data(), b.data(), ORXEN_CSP_I420,
                                    static_cast<int>(i420.size()), 64, 48, &kb);
    ASSERT_GT(ra, 0);
    ASSERT_EQ(ra, rb);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + ra, b.begin()));
    EXPECT_EQ(ka, kb);
  }
}

}  // namespace
