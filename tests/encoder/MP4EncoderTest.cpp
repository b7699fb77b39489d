#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "EncoderTestHelpers.h"
#include "tests/support/Subprocess.h"

namespace {

constexpr int kWidth = 176;
constexpr int kHeight = 144;

std::vector<EncodedPicture> EncodeRun(OrxEnHandle channel, int count, int forcedKeyAt = -1) {
  std::vector<EncodedPicture> pictures;
  for (int i = 0; i < count; ++i) {
    pictures.push_back(EncodePicture(channel, kWidth, kHeight, i, i == forcedKeyAt));
  }
  return pictures;
}

std::string FrameTypes(const std::string& path) {
  int exitCode = -1;
  std::string types = RunCommand(
      "ffprobe -v error -f m4v -select_streams v:0 -show_entries "
      "frame=pict_type -of csv=p=0 '" +
          path + "' | tr -d '\\n'",
      &exitCode);
  EXPECT_EQ(exitCode, 0);
  return types;
}

// Quantizers the decoder saw, one per macroblock, as ffmpeg's qp debug prints them.
std::vector<int> DecodedQuantizers(const std::string& path) {
  const std::string log =
      RunCommand("ffmpeg -hide_banner -nostdin -nostats -debug qp -threads 1 -f m4v -i '" + path +
                 "' -f null - 2>&1");
  static const std::regex row(R"(^\[mpeg4 @ [^\]]*\] ((?:[ 0-9][0-9])+)$)");
  std::vector<int> quantizers;
  std::istringstream lines(log);
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, m, row)) continue;
    // Each value takes two columns.
    const std::string values = m[1].str();
    for (size_t i = 0; i + 2 <= values.size(); i += 2) {
      quantizers.push_back(std::stoi(values.substr(i, 2)));
    }
  }
  return quantizers;
}

class Mpeg4Channel : public ::testing::Test {
 protected:
  void Open(OrxEnHandle channel) {
    ASSERT_NE(channel, nullptr);
    ASSERT_EQ(Library().SetVideoParam(channel, kWidth, kHeight, 0), 0);
  }
};

TEST_F(Mpeg4Channel, DefaultChannelKeysEveryFiftyWithoutBFrames) {
  Channel channel(ORXEN_TYPE_MPEG4, 0);
  Open(channel.get());
  const std::vector<EncodedPicture> pictures = EncodeRun(channel.get(), 120);
  std::vector<int> keys;
  for (size_t i = 0; i < pictures.size(); ++i) {
    ASSERT_GT(pictures[i].result, 0) << "no B-frames, so every picture gives output at once";
    if (pictures[i].keyFrame) {
      EXPECT_EQ(pictures[i].keyFrame, 2);
      keys.push_back(static_cast<int>(i));
    }
  }
  EXPECT_EQ(keys, (std::vector<int>{0, 50, 100}));

  TempFile file("stream.m4v");
  WriteStream(file.path(), pictures);
  const std::string types = FrameTypes(file.path());
  EXPECT_EQ(types.size(), 120u);
  EXPECT_EQ(types.find('B'), std::string::npos) << types;
  const std::string probe =
      ProbeStream(file.path(), "m4v", "stream=codec_name,width,height,nb_read_frames");
  EXPECT_EQ(ProbeValue(probe, "codec_name"), "mpeg4");
  EXPECT_EQ(ProbeValue(probe, "width"), std::to_string(kWidth));
  EXPECT_EQ(ProbeValue(probe, "height"), std::to_string(kHeight));
  EXPECT_EQ(ProbeValue(probe, "nb_read_frames"), "120");
}

TEST_F(Mpeg4Channel, NonZeroOptionAllowsBFrames) {
  Channel channel(ORXEN_TYPE_MPEG4, 1);
  Open(channel.get());
  const std::vector<EncodedPicture> pictures = EncodeRun(channel.get(), 40);
  TempFile file("stream.m4v");
  WriteStream(file.path(), pictures);
  const std::string types = FrameTypes(file.path());
  EXPECT_NE(types.find('B'), std::string::npos) << types;
  EXPECT_EQ(types.find("BBB"), std::string::npos) << "at most two B-frames in a row: " << types;
}

TEST_F(Mpeg4Channel, RequestedKeyFrameComesBackAsTwo) {
  Channel channel(ORXEN_TYPE_MPEG4, 0);
  Open(channel.get());
  const std::vector<EncodedPicture> pictures = EncodeRun(channel.get(), 12, 9);
  EXPECT_EQ(pictures[9].keyFrame, 2);
  EXPECT_EQ(pictures[10].keyFrame, 0);
  EXPECT_EQ(Fields(channel.get()).frameCount, 12);
  EXPECT_EQ(Fields(channel.get()).pictureColourSpace, 1 << 2);  // xvidcore's YV12
}

TEST_F(Mpeg4Channel, FixedQuantizerCodesEveryMacroblockAtIt) {
  Channel channel(ORXEN_TYPE_MPEG4, 0);
  Open(channel.get());
  TempFile file("stream.m4v");
  WriteStream(file.path(), EncodeRun(channel.get(), 30));
  const std::vector<int> quantizers = DecodedQuantizers(file.path());
  ASSERT_EQ(quantizers.size(), 30u * (kWidth / 16) * (kHeight / 16));
  for (int q : quantizers) ASSERT_EQ(q, 4);
}

// With quantizer 0 the one-pass rate control chooses, so the stream lands near the bit rate
// rather than at the finest quantizer.
TEST_F(Mpeg4Channel, QuantizerZeroLeavesItToRateControl) {
  Channel channel(ORXEN_TYPE_MPEG4, 0);
  Library().SetQuant(channel.get(), 0);
  Open(channel.get());
  const int pictures = 75;
  const std::vector<EncodedPicture> run = EncodeRun(channel.get(), pictures);
  size_t bytes = 0;
  for (const EncodedPicture& p : run) bytes += p.bytes.size();
  const double seconds = pictures / 25.0;
  const double kbps = static_cast<double>(bytes) * 8 / seconds / 1000;
  EXPECT_GT(kbps, 131.072 * 0.5);
  EXPECT_LT(kbps, 131.072 * 2.0);

  TempFile file("stream.m4v");
  WriteStream(file.path(), run);
  const std::vector<int> quantizers = DecodedQuantizers(file.path());
  ASSERT_FALSE(quantizers.empty());
  int coarser = 0;
  for (int q : quantizers) coarser += q > 2;
  EXPECT_GT(coarser, static_cast<int>(quantizers.size()) / 2);
}

// A private copy of the library has start-up state of its own, as a fresh process would.
TEST_F(Mpeg4Channel, StartUpLinesAppearOncePerProcess) {
  TempFile copy("libOrxEncoderCopy.so");
  std::filesystem::copy_file(ORXENCODER_PATH, copy.path());
  OrxEncoderLibrary library(copy.path());
  ASSERT_TRUE(library.loaded()) << library.error();

  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {
    OrxEnHandle h = library.CreateChannel(0);
    library.SetVideoParam(h, kWidth, kHeight, 0);
    library.CloseChannel(library.CreateChannelEx(ORXEN_TYPE_MPEG4, 1));
    library.CloseChannel(h);
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  auto count = [&err](const std::string& s) {
    size_t found = 0;
    for (size_t at = err.find(s); at != std::string::npos; at = err.find(s, at + 1)) ++found;
    return found;
  };
  EXPECT_EQ(count("Bitstream version: "), 1u) << err;
  EXPECT_EQ(count("Detected CPU flags: "), 1u) << err;
  EXPECT_EQ(count(" cpus, using "), 1u) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(Bitstream version: \d+\.\d+\.\d+\n)"))) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(Detected CPU flags: ([A-Z0-9]+ )*\n)"))) << err;
}

}  // namespace
