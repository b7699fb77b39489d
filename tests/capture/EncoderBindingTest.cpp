#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "capture/EncoderBinding.h"
#include "platform/DynamicLibrary.h"
#include "tests/support/OrxEncoderLibrary.h"
#include "tests/support/SyntheticPicture.h"

namespace {

int EncodeDummy(const EncoderBinding& binding, OrxEnHandle channel) {
  uint8_t source[24] = {};
  uint8_t dest[64];
  int keyFrame = 0;
  return binding.Encode(channel, source, dest, ORXEN_CSP_YV12, 24, 4, 4, &keyFrame);
}

TEST(EncoderBinding, EncodesThroughTheLibraryBesideTheProgram) {
  EncoderBinding& binding = ProcessEncoderBinding();
  EXPECT_EQ(&binding, &ProcessEncoderBinding());
  ASSERT_TRUE(binding.IsLoaded()) << binding.LoadError();

  const OrxEnHandle channel = binding.CreateChannel(ORXEN_TYPE_H264, 0);
  ASSERT_TRUE(IsEncoderChannel(channel));
  binding.SetQuantizer(channel, 20);
  EXPECT_EQ(binding.SetVideoParameters(channel, 160, 120, 0), 0);
  const std::vector<uint8_t> picture = MakeMovingPicture(160, 120, 0);
  std::vector<uint8_t> encoded(picture.size() * 2);
  int keyFrame = 0;
  EXPECT_GT(binding.Encode(channel, picture.data(), encoded.data(), ORXEN_CSP_YV12,
                           static_cast<int>(picture.size()), 160, 120, &keyFrame),
            4);
  EXPECT_EQ(keyFrame, 1);
  // The binding never closes channels (the program's one channel lives as long as the process);
  // close this one through the library itself so leak checkers stay quiet.
  OrxEncoderLibrary(ORXENCODER_PATH).CloseChannel(channel);

  // No MJPEG channel exists; the library's null must not pass for an encoder.
  EXPECT_FALSE(IsEncoderChannel(binding.CreateChannel(ORXEN_TYPE_MJPEG, 0)));
}

TEST(EncoderBinding, MissingLibraryMakesEveryCallFail) {
  for (const char* path : {"/nonexistent/folder/libOrxEncoder.so", ""}) {
    const EncoderBinding binding(path);
    EXPECT_FALSE(binding.IsLoaded()) << path;
    EXPECT_FALSE(binding.LoadError().empty()) << path;
    const OrxEnHandle channel = binding.CreateChannel(ORXEN_TYPE_H264, 0);
    EXPECT_EQ(channel, kNoEncoderChannel);
    EXPECT_FALSE(IsEncoderChannel(channel));
    EXPECT_EQ(binding.SetVideoParameters(channel, 160, 120, 0), -1);
    binding.SetQuantizer(channel, 20);
    EXPECT_EQ(EncodeDummy(binding, channel), -1);
  }
}

TEST(EncoderBinding, LibraryLackingOneExportFailsOnlyThatCall) {
  const EncoderBinding binding(PARTIAL_ORXENCODER_PATH);
  ASSERT_TRUE(binding.IsLoaded()) << binding.LoadError();
  // Loaded a second time to watch it; both share the one copy in memory.
  const platform::DynamicLibrary observer(PARTIAL_ORXENCODER_PATH);
  const int* calls = static_cast<int*>(observer.FindSymbol("PartialOrxEn_Calls"));
  const int* lastQuant = static_cast<int*>(observer.FindSymbol("PartialOrxEn_LastQuant"));
  ASSERT_TRUE(calls && lastQuant);

  const OrxEnHandle channel = binding.CreateChannel(ORXEN_TYPE_H264, 0);
  ASSERT_TRUE(IsEncoderChannel(channel));
  EXPECT_EQ(binding.SetVideoParameters(channel, 320, 240, 5), 565);
  binding.SetQuantizer(channel, 12);
  EXPECT_EQ(*lastQuant, 12);
  EXPECT_EQ(EncodeDummy(binding, channel), -1);

  // The "no encoder" value would be taken for a channel's address; it must stop at the binding.
  const int before = *calls;
  EXPECT_EQ(binding.SetVideoParameters(kNoEncoderChannel, 320, 240, 5), -1);
  binding.SetQuantizer(kNoEncoderChannel, 13);
  EXPECT_EQ(*calls, before);
}

}  // namespace
