#include "EncoderTestHelpers.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/support/Subprocess.h"
#include "tests/support/SyntheticPicture.h"

OrxEncoderLibrary& Library() {
  static OrxEncoderLibrary library;
  return library;
}

EncodedPicture EncodePicture(OrxEnHandle channel, int width, int height, int index,
                             bool requestKey) {
  const std::vector<uint8_t> picture = MakeMovingPicture(width, height, index);
  EncodedPicture out;
  out.bytes.resize(picture.size() + (1 << 16));
  out.keyFrame = requestKey ? 1 : 0;
  out.result = Library().Encode(channel, picture.data(), out.bytes.data(), ORXEN_CSP_YV12,
                                static_cast<int>(picture.size()), width, height, &out.keyFrame);
  out.bytes.resize(out.result > 0 ? static_cast<size_t>(out.result) : 0);
  return out;
}

std::vector<int> NalTypes(const std::vector<uint8_t>& au) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      types.push_back(au[i + 3] & 0x1f);
      i += 3;
    }
  }
  return types;
}

bool IsIdrWithParameterSets(const std::vector<uint8_t>& au) {
  const std::vector<int> types = NalTypes(au);
  if (types.size() < 3 || types[0] != 7 || types[1] != 8) return false;
  for (int t : types) {
    if (t == 1) return false;
  }
  for (int t : types) {
    if (t == 5) return true;
  }
  return false;
}

void WriteStream(const std::string& path, const std::vector<EncodedPicture>& pictures) {
  std::ofstream file(path, std::ios::binary);
  for (const EncodedPicture& p : pictures) {
    file.write(reinterpret_cast<const char*>(p.bytes.data()),
               static_cast<std::streamsize>(p.bytes.size()));
  }
}

std::string ProbeStream(const std::string& path, const std::string& format,
                        const std::string& entries) {
  int exitCode = -1;
  const std::string output =
      RunCommand("ffprobe -v error -f " + format + " -count_frames -select_streams v:0 " +
                     "-show_entries " + entries + " -of default=noprint_wrappers=1 '" + path + "'",
                 &exitCode);
  EXPECT_EQ(exitCode, 0) << "ffprobe failed on " << path;
  return output;
}

std::string ProbeValue(const std::string& probe, const std::string& key) {
  std::istringstream lines(probe);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}
