#include "StrictDecode.h"

#include <fstream>
#include <sstream>

#include "Subprocess.h"

TStrictDecode StrictlyDecode(std::span<const uint8_t> annexB) {
  TempFile file("stream.h264");
  std::ofstream(file.path(), std::ios::binary)
      .write(reinterpret_cast<const char*>(annexB.data()),
             static_cast<std::streamsize>(annexB.size()));
  TStrictDecode result;
  int exitCode = -1;
  std::istringstream lines(RunCommand("ffmpeg -v error -xerror -err_detect explode -f h264 -i '" +
                                          file.path() + "' -fps_mode passthrough -f framecrc -",
                                      &exitCode));
  result.ffmpegAccepted = exitCode == 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') result.pictureSums.push_back(line.substr(line.rfind(',') + 1));
  }
  const std::string gst = RunCommand("gst-launch-1.0 -q filesrc location='" + file.path() +
                                         "' ! h264parse ! avdec_h264 ! fakesink 2>&1",
                                     &exitCode);
  if (exitCode != 0 || gst.find("WARN") != std::string::npos) {
    result.gstComplaint = gst.empty() ? "exit " + std::to_string(exitCode) : gst;
  }
  return result;
}
