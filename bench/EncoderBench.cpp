// CPU cost of encoding one 1920x1080 picture per call through the OrxEncoder library, side by side
// with the x264 command-line encoder encoding the very same raw pictures with the same settings.
// Each iteration encodes the whole picture set once, opening and closing the encoder as the
// command line does, so both sides pay the same start-up.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ProcessCpu.h"
#include "tests/support/OrxEncoderLibrary.h"
#include "tests/support/SyntheticPicture.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kPictures = 100;

const std::vector<std::vector<uint8_t>>& Pictures() {
  static const std::vector<std::vector<uint8_t>> pictures = [] {
    std::vector<std::vector<uint8_t>> all;
    for (int i = 0; i < kPictures; ++i) all.push_back(MakeMovingPicture(kWidth, kHeight, i));
    return all;
  }();
  return pictures;
}

// The same pictures as one raw YV12 file for the command line.
const std::string& RawFile() {
  static const std::string path = [] {
    const std::string file =
        (std::filesystem::temp_directory_path() / "vistrel-bench-1080p.yv12").string();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const auto& p : Pictures()) {
      out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
    }
    return file;
  }();
  return path;
}

void EncodeWithLibrary(benchmark::State& state, int encoderType) {
  static OrxEncoderLibrary library;
  if (!library.loaded()) {
    state.SkipWithError(library.error().c_str());
    return;
  }
  const auto& pictures = Pictures();
  std::vector<uint8_t> dest(pictures[0].size() + (1 << 20));
  double cpu = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    const double start = SelfCpuSeconds();
    OrxEnHandle channel = library.CreateChannelEx(encoderType, 0);
    if (library.SetVideoParam(channel, kWidth, kHeight, 0) != 0) {
      state.SkipWithError("the channel did not open");
      library.CloseChannel(channel);
      break;
    }
    for (const auto& picture : pictures) {
      int keyFrame = 0;
      const int n = library.Encode(channel, picture.data(), dest.data(), ORXEN_CSP_YV12,
                                   static_cast<int>(picture.size()), kWidth, kHeight, &keyFrame);
      if (n > 0) bytes += static_cast<size_t>(n);
    }
    library.CloseChannel(channel);
    cpu += SelfCpuSeconds() - start;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_picture"] = cpu * 1000 / (runs * kPictures);
  state.counters["kbytes_per_picture"] = static_cast<double>(bytes) / 1000 / (runs * kPictures);
}

void BM_OrxEncoderH264(benchmark::State& state) {
  EncodeWithLibrary(state, ORXEN_TYPE_H264);
}
void BM_OrxEncoderMpeg4(benchmark::State& state) {
  EncodeWithLibrary(state, ORXEN_TYPE_MPEG4);
}

void BM_X264CommandLine(benchmark::State& state) {
  const std::string& raw = RawFile();
  const std::string output =
      (std::filesystem::temp_directory_path() / "vistrel-bench-x264.h264").string();
  const std::string res = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  const std::vector<std::string> args = {
      "x264",      "--quiet",     "--no-progress", "--preset", "veryfast", "--tune", "zerolatency",
      "--profile", "baseline",    "--threads",     "1",        "--keyint", "25",     "--input-res",
      res,         "--input-csp", "yv12",          "--fps",    "25",       "-o",     output,
      raw};
  double cpu = 0;
  for (auto _ : state) {
    // Its closing summary line on standard error would clutter the benchmark's table.
    const std::optional<double> seconds = RunChildCpuSeconds(args, true);
    if (!seconds) {
      state.SkipWithError("x264 (Debian package x264) did not run");
      break;
    }
    cpu += *seconds;
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_picture"] = cpu * 1000 / (runs * kPictures);
  std::error_code ignored;
  state.counters["kbytes_per_picture"] =
      static_cast<double>(std::filesystem::file_size(output, ignored)) / 1000 / kPictures;
  std::filesystem::remove(output, ignored);
}

}  // namespace

BENCHMARK(BM_OrxEncoderH264)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_X264CommandLine)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_OrxEncoderMpeg4)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
