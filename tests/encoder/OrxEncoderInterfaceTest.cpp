#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <vector>

#include "EncoderTestHelpers.h"
#include "tests/support/Subprocess.h"

namespace {

TEST(OrxEncoderInterface, ExportsExactlyTheSevenFunctions) {
  int exitCode = -1;
  const std::string listing =
      RunCommand(std::string("nm -D --defined-only '") + ORXENCODER_PATH + "'", &exitCode);
  ASSERT_EQ(exitCode, 0);
  std::set<std::string> names;
  std::istringstream lines(listing);
  std::string address, kind, name;
  while (lines >> address >> kind >> name) names.insert(name);
  const std::set<std::string> expected = {
      "OrxEn_CreateChannel", "OrxEn_CreateChannelEx", "OrxEn_SetVideoParam", "OrxEn_SetupEncode",
      "OrxEn_SetQuant",      "OrxEn_Encode",          "OrxEn_CloseChannel"};
  EXPECT_EQ(names, expected);
}

TEST(OrxEncoderInterface, LoadsAndBindsEveryExport) {
  ASSERT_TRUE(Library().loaded()) << Library().error();
}

TEST(OrxEncoderInterface, OnlyMpeg4AndH264TypesMakeChannels) {
  for (int type : {-1, 0, 1, 2, 5, 6, 7, 100}) {
    EXPECT_EQ(Library().CreateChannelEx(type, 0), nullptr) << "type " << type;
  }
  Channel h264(ORXEN_TYPE_H264, 0);
  ASSERT_NE(h264.get(), nullptr);
  EXPECT_EQ(Fields(h264.get()).channelOption, 0);
  Channel mpeg4(ORXEN_TYPE_MPEG4, 7);
  ASSERT_NE(mpeg4.get(), nullptr);
  EXPECT_EQ(Fields(mpeg4.get()).channelOption, 7);
}

TEST(OrxEncoderInterface, NewChannelHasDocumentedDefaults) {
  Channel channel(ORXEN_TYPE_H264, 0);
  const CBaseKWEncoder& f = Fields(channel.get());
  EXPECT_EQ(f.pictureWidth, 352);
  EXPECT_EQ(f.pictureHeight, 288);
  EXPECT_EQ(f.pictureColourSpace, -1);
  EXPECT_EQ(f.width, 352);
  EXPECT_EQ(f.height, 288);
  EXPECT_EQ(f.frameRate, 25);
  EXPECT_EQ(f.keyInterval, 25);
  EXPECT_EQ(f.bitRate, 131072);
  EXPECT_EQ(f.quant, 4);
}

// A channel that was never opened, or whose open failed, must refuse pictures without touching
// the caller's buffers.
TEST(OrxEncoderInterface, ClosedChannelRefusesPicturesAndTouchesNothing) {
  for (int type : {ORXEN_TYPE_H264, ORXEN_TYPE_MPEG4}) {
    Channel channel(type, 0);
    // Same size and rate as the defaults: nothing is opened.
    EXPECT_EQ(Library().SetVideoParam(channel.get(), 352, 288, 25), 0);
    std::vector<uint8_t> picture(352 * 288 * 3 / 2, 0x40);
    std::vector<uint8_t> dest(1 << 16, 0xAB);
    int keyFrame = 5;
    EXPECT_LT(Library().Encode(channel.get(), picture.data(), dest.data(), ORXEN_CSP_YV12,
                               static_cast<int>(picture.size()), 352, 288, &keyFrame),
              0);
    EXPECT_EQ(keyFrame, 5);
    EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xAB; }));

    // Sizes the codecs refuse leave the channel closed as well.
    EXPECT_EQ(Library().SetVideoParam(channel.get(), 0, 0, 0), -1) << "type " << type;
    if (type == ORXEN_TYPE_H264) {
      EXPECT_EQ(Library().SetVideoParam(channel.get(), 641, 481, 0), -1);
      EXPECT_EQ(Library().SetVideoParam(channel.get(), 640, 481, 0), -1);
    }
    EXPECT_LT(Library().Encode(channel.get(), picture.data(), dest.data(), ORXEN_CSP_YV12,
                               static_cast<int>(picture.size()), 0, 0, &keyFrame),
              0);
    EXPECT_EQ(keyFrame, 5);
    EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xAB; }));
  }
}

TEST(OrxEncoderInterface, SetQuantStoresOnlyZeroToThirty) {
  struct Case {
    int value;
    int expected;
  };
  const Case cases[] = {{31, 4}, {-1, 4}, {30, 30}, {0, 0}, {1000, 0}, {17, 17}, {-30, 17}};
  Channel channel(ORXEN_TYPE_MPEG4, 0);
  for (const Case& c : cases) {
    Library().SetQuant(channel.get(), c.value);
    EXPECT_EQ(Fields(channel.get()).quant, c.expected) << "after SetQuant(" << c.value << ")";
  }
}

TEST(OrxEncoderInterface, SkippedColourFormatsReturnZeroAndLeaveKeyFrameAlone) {
  Channel channel(ORXEN_TYPE_H264, 0);
  ASSERT_EQ(Library().SetVideoParam(channel.get(), 64, 48, 0), 0);
  std::vector<uint8_t> picture(64 * 48 * 3 / 2, 0x80);
  std::vector<uint8_t> dest(1 << 16, 0xCD);
  for (int format : {ORXEN_CSP_SKIP_A, ORXEN_CSP_SKIP_B}) {
    int keyFrame = 9;
    EXPECT_EQ(Library().Encode(channel.get(), picture.data(), dest.data(), format,
                               static_cast<int>(picture.size()), 64, 48, &keyFrame),
              0);
    EXPECT_EQ(keyFrame, 9);
  }
  EXPECT_EQ(Fields(channel.get()).frameCount, 0);
  EXPECT_TRUE(std::all_of(dest.begin(), dest.end(), [](uint8_t b) { return b == 0xCD; }));
}

TEST(OrxEncoderInterface, NullHandleIsRefusedNotFollowed) {
  int keyFrame = 0;
  uint8_t byte = 0;
  EXPECT_EQ(Library().SetVideoParam(nullptr, 64, 48, 25), -1);
  EXPECT_EQ(Library().SetupEncode(nullptr, 25, 25, 1000), -1);
  EXPECT_LT(Library().Encode(nullptr, &byte, &byte, ORXEN_CSP_YV12, 1, 64, 48, &keyFrame), 0);
  Library().SetQuant(nullptr, 3);
  Library().CloseChannel(nullptr);
}

TEST(OrxEncoderInterface, SetVideoParamReopensOnlyOnChange) {
  Channel channel(ORXEN_TYPE_H264, 0);
  ASSERT_EQ(Library().SetVideoParam(channel.get(), 64, 48, 10), 0);
  const CBaseKWEncoder& f = Fields(channel.get());
  EXPECT_EQ(f.frameRate, 10);
  EXPECT_EQ(f.keyInterval, 10);
  EncodePicture(channel.get(), 64, 48, 0);
  EncodePicture(channel.get(), 64, 48, 1);
  ASSERT_EQ(f.frameCount, 2);

  // Unchanged values: no reopen, the count goes on.
  EXPECT_EQ(Library().SetVideoParam(channel.get(), 64, 48, 10), 0);
  EXPECT_EQ(f.frameCount, 2);

  // Frame rate 0 never matches the stored rate, so it reopens with rate and interval kept.
  EXPECT_EQ(Library().SetVideoParam(channel.get(), 64, 48, 0), 0);
  EXPECT_EQ(f.frameCount, 0);
  EXPECT_EQ(f.frameRate, 10);
  EXPECT_EQ(f.keyInterval, 10);
  EXPECT_TRUE(IsIdrWithParameterSets(EncodePicture(channel.get(), 64, 48, 2).bytes));
}

TEST(OrxEncoderInterface, SetupEncodeReopensOnChangeAndKeepsNonPositiveFields) {
  Channel channel(ORXEN_TYPE_H264, 0);
  const CBaseKWEncoder& f = Fields(channel.get());
  EXPECT_EQ(Library().SetupEncode(channel.get(), 25, 25, 131072), 1);
  EXPECT_EQ(EncodePicture(channel.get(), 352, 288, 0).result, ORXEN_ERR_NOT_OPEN)
      << "unchanged settings must not reopen, so the fresh channel stays closed";

  EXPECT_EQ(Library().SetupEncode(channel.get(), 0, 0, 0), 1);
  EXPECT_EQ(f.frameRate, 25);
  EXPECT_EQ(f.keyInterval, 25);
  EXPECT_EQ(f.bitRate, 131072);
  EXPECT_GT(EncodePicture(channel.get(), 352, 288, 0).result, 0) << "all-zero call reopens";
  EXPECT_EQ(f.frameCount, 1);

  EXPECT_EQ(Library().SetupEncode(channel.get(), 30, -5, 64000), 1);
  EXPECT_EQ(f.frameRate, 30);
  EXPECT_EQ(f.keyInterval, 25);
  EXPECT_EQ(f.bitRate, 64000);
  EXPECT_EQ(f.frameCount, 0);

  // Open failing is not reported by this call.
  EXPECT_EQ(Library().SetVideoParam(channel.get(), 0, 0, 0), -1);
  EXPECT_EQ(Library().SetupEncode(channel.get(), 31, 0, 0), 1);
}

}  // namespace
