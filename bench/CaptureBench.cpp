// Capture and conversion of a 1920x1080 24-bit X screen with moving content, with and without
// H.264 encoding, next to ffmpeg's x11grab doing the same on the same display in the same run.
// CPU per frame counts the capturing process and the X server, which does the copying for both.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCpu.h"
#include "capture/DesktopEncoder.h"
#include "log/ServiceLog.h"
#include "tests/support/FakeClock.h"
#include "tests/support/TestScreen.h"
#include "tests/support/XvfbDisplay.h"

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFfmpegFrames = 150;

// The screen: Xvfb with a child process that keeps moving coloured blocks over it at 30 fps,
// like a busy desktop. The mover's own CPU is counted on neither side.
class MovingDesktop {
 public:
  MovingDesktop() : display_({kWidth, kHeight, 24}) {
    mover_ = fork();
    if (mover_ == 0) {
      TestScreen screen(display_.Name());
      for (int frame = 0;; ++frame) {
        for (int band = 0; band < 8; ++band) {
          const auto shade = static_cast<uint8_t>((frame * 9 + band * 31) % 256);
          screen.Fill(((frame * 12) + band * 240) % kWidth, band * (kHeight / 8), 320, kHeight / 8,
                      {shade, static_cast<uint8_t>(255 - shade), 128});
        }
        screen.Sync();
        usleep(33000);
      }
    }
  }
  ~MovingDesktop() {
    if (mover_ > 0) {
      kill(mover_, SIGKILL);
      waitpid(mover_, nullptr, 0);
    }
  }
  std::string Name() const { return display_.Name(); }
  pid_t ServerPid() const { return display_.Pid(); }

 private:
  XvfbDisplay display_;
  pid_t mover_ = -1;
};

MovingDesktop& Desktop() {
  static MovingDesktop desktop;
  return desktop;
}

// Moved by a frame interval before every picture, so that each poll captures.
class StepClock : public FakeClock {
 public:
  StepClock() : FakeClock(platform::SystemClock().LocalNow(), 0) {}
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2),
                   values.end());
  return values[values.size() / 2];
}

void RunVistrel(benchmark::State& state, bool encode) {
  MovingDesktop& desktop = Desktop();
  StepClock clock;
  static TServiceLogFile log("/dev/null", platform::SystemClock(), nullptr);
  static EncoderBinding binding(DefaultEncoderLibraryPath());
  TDesktopEncoder encoder(TVideoSettings{25, kEncodeTypeH264, 0, 0, 0}, binding,
                          platform::CreateScreenCapture(clock, desktop.Name()), clock, log);
  if (!encoder.GrabFrame()) {
    state.SkipWithError("no picture from the screen");
    return;
  }
  std::vector<double> wall;
  const double cpuStart = SelfCpuSeconds();
  const double serverStart = ProcessCpuSeconds(desktop.ServerPid());
  // Paced like ffmpeg's capture at 30 fps, so both sides see the same amount of change between
  // pictures; the waiting costs no CPU and is not in the per-frame times.
  auto slot = std::chrono::steady_clock::now();
  for (auto _ : state) {
    slot += std::chrono::microseconds(1000000 / 30);
    std::this_thread::sleep_until(slot);
    const auto start = std::chrono::steady_clock::now();
    encoder.GrabFrame();
    if (encode) {
      encoder.EncodeFrame();
      clock.tick += encoder.FrameInterval();
    }
    wall.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  const double frames = static_cast<double>(state.iterations());
  const double client = (SelfCpuSeconds() - cpuStart) * 1000 / frames;
  const double server = (ProcessCpuSeconds(desktop.ServerPid()) - serverStart) * 1000 / frames;
  state.counters["client_cpu_ms_per_frame"] = client;
  state.counters["server_cpu_ms_per_frame"] = server;
  state.counters["cpu_ms_per_frame"] = client + server;
  state.counters["median_ms_per_frame"] = Median(wall);
}

void RunFfmpeg(benchmark::State& state, const std::vector<std::string>& output) {
  MovingDesktop& desktop = Desktop();
  std::vector<std::string> args = {
      "ffmpeg",    "-y",      "-nostdin",     "-loglevel", "error",
      "-f",        "x11grab", "-framerate",   "30",        "-video_size",
      "1920x1080", "-i",      desktop.Name(), "-frames:v", std::to_string(kFfmpegFrames)};
  args.insert(args.end(), output.begin(), output.end());
  double client = 0, server = 0, wall = 0;
  for (auto _ : state) {
    const double serverStart = ProcessCpuSeconds(desktop.ServerPid());
    const auto start = std::chrono::steady_clock::now();
    const std::optional<double> seconds = RunChildCpuSeconds(args);
    if (!seconds) {
      state.SkipWithError("ffmpeg did not run");
      return;
    }
    wall +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    client += *seconds;
    server += ProcessCpuSeconds(desktop.ServerPid()) - serverStart;
  }
  const double frames = static_cast<double>(state.iterations()) * kFfmpegFrames;
  state.counters["client_cpu_ms_per_frame"] = client * 1000 / frames;
  state.counters["server_cpu_ms_per_frame"] = server * 1000 / frames;
  state.counters["cpu_ms_per_frame"] = (client + server) * 1000 / frames;
  state.counters["wall_ms_per_frame"] = wall / frames;
}

void BM_VistrelCaptureConvert(benchmark::State& state) {
  RunVistrel(state, false);
}
void BM_VistrelCaptureConvertEncode(benchmark::State& state) {
  RunVistrel(state, true);
}
void BM_FfmpegX11grabConvert(benchmark::State& state) {
  RunFfmpeg(state, {"-pix_fmt", "yuv420p", "-f", "null", "-"});
}
void BM_FfmpegX11grabX264(benchmark::State& state) {
  RunFfmpeg(state, {"-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast", "-tune",
                    "zerolatency", "-profile:v", "baseline", "-threads", "1", "-g", "25", "-f",
                    "h264", "/dev/null"});
}

}  // namespace

BENCHMARK(BM_VistrelCaptureConvert)->Unit(benchmark::kMillisecond)->Iterations(150);
BENCHMARK(BM_FfmpegX11grabConvert)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_VistrelCaptureConvertEncode)->Unit(benchmark::kMillisecond)->Iterations(150);
BENCHMARK(BM_FfmpegX11grabX264)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
