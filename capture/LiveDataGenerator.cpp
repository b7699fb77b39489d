#include "LiveDataGenerator.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "DesktopEncoder.h"
#include "log/ServiceLog.h"

namespace {

// How often an idle generator looks for a first session; it also bounds how long a stop waits.
constexpr uint32_t kIdleStepMs = 100;

std::mutex processGeneratorLock;
std::unique_ptr<TLiveDataGenerator> processGenerator;

}  // namespace

TLiveDataGenerator::TLiveDataGenerator(TLiveDataGeneratorLinks links)
    : links_(std::move(links)), thread_([this] { Run(); }) {}

TLiveDataGenerator::~TLiveDataGenerator() {
  Stop();
}

void TLiveDataGenerator::Stop() {
  {
    const std::lock_guard guard(lock_);
    terminated_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool TLiveDataGenerator::Pause(uint32_t ms) {
  std::unique_lock guard(lock_);
  wake_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return terminated_; });
  return !terminated_;
}

void TLiveDataGenerator::Log(std::string_view line) const {
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}

void TLiveDataGenerator::Run() {
  TDesktopEncoder* encoder = nullptr;
  for (;;) {
    uint32_t wait = kIdleStepMs;
    try {
      if (encoder == nullptr) {
        encoder = &links_.encoder();
        encoder->SetOnFrame([this](TDesktopEncoder& e) {
          links_.dispatchFrame(e.FrameBuffer(), e.FrameCapturedMicros());
        });
      }
      if (links_.hasSessions()) {
        // Capture only when a picture is due, so every encoded picture is a fresh capture and the
        // thread sleeps in between instead of capturing pictures nobody encodes.
        encoder->Poll();
        wait = encoder->MillisecondsUntilNextFrame();
        // Nothing was encoded (no screen, no encoder): try again a frame interval later.
        if (wait == 0) wait = encoder->FrameInterval();
      } else {
        encoder->KeepUpWithScreen();
      }
    } catch (const std::exception& e) {
      Log(std::string("live data generator execute failed, e=") + e.what());
      if (encoder != nullptr) wait = std::max(wait, encoder->FrameInterval());
    } catch (...) {
      // Nothing the pipeline throws may take the whole program down with this thread.
      Log("live data generator execute failed, e=unknown error");
      if (encoder != nullptr) wait = std::max(wait, encoder->FrameInterval());
    }
    if (!Pause(wait)) return;
  }
}

TLiveDataGenerator& StartLiveDataGenerator(TLiveDataGeneratorLinks links) {
  const std::lock_guard guard(processGeneratorLock);
  if (!processGenerator) processGenerator = std::make_unique<TLiveDataGenerator>(std::move(links));
  return *processGenerator;
}

void StopLiveDataGenerator() {
  std::unique_ptr<TLiveDataGenerator> generator;
  {
    const std::lock_guard guard(processGeneratorLock);
    generator = std::move(processGenerator);
  }
  generator.reset();
}
