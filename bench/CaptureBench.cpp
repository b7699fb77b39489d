// Capture and conversion of a 1920x1080 24-bit X screen with moving content, with and without
// H.264 encoding, next to ffmpeg's x11grab doing the same on the same display in the same run.
// CPU per frame counts the capturing process and the X server, which does the copying for both.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DesktopEncoder.h"
#include "ServiceLog.h"
#include "TestScreen.h"
#include "XvfbDisplay.h"

extern char** environ;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kFfmpegFrames = 150;

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double SelfCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// utime + stime of another process, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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

class StepClock : public platform::TClock {
 public:
  platform::TLocalDateTime LocalNow() const override { return platform::SystemClock().LocalNow(); }
  uint32_t TickCount() const override { return tick; }
  uint32_t tick = 0;
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
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  double client = 0, server = 0, wall = 0;
  for (auto _ : state) {
    const double serverStart = ProcessCpuSeconds(desktop.ServerPid());
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start ffmpeg");
      return;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
    wall +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    client += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
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
