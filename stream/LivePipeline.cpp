#include "LivePipeline.h"

#include "LiveChannel.h"
#include "LiveSession.h"
#include "capture/DesktopEncoder.h"
#include "capture/LiveDataGenerator.h"

void StartLivePipeline() {
  TLiveDataGeneratorLinks links;
  links.encoder = []() -> TDesktopEncoder& { return DesktopEncoder(); };
  links.hasSessions = [] {
    const auto manager = CurrentLiveSessionManager();
    return manager && manager->HasSessions();
  };
  links.dispatchFrame = [](std::span<const uint8_t> frame, int64_t capturedMicros) {
    // Held for the whole walk, so a manager freed meanwhile stays whole until the walk ends.
    const auto manager = CurrentLiveSessionManager();
    LiveChannelManager().GetOrCreateChannel().DispatchFrame(frame, manager.get(), capturedMicros);
  };
  StartLiveDataGenerator(std::move(links));
}

void StopLivePipeline() {
  StopLiveDataGenerator();
}
