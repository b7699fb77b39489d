#include "PublishWiring.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "CommandLine.h"
#include "ProcessWiring.h"
#include "ResourceTexts.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "rtsp/RtspPublisher.h"
#include "rtsp/RtspUrl.h"

namespace {

std::mutex publisherLock;
std::unique_ptr<TRtspPublisher> publisher;

}  // namespace

void StartPublishing() {
  const std::string& text = Settings().PublishUrl();
  if (text.empty()) return;
  std::string error;
  std::optional<TRtspUrl> url = ParseRtspUrl(text, error);
  if (!url) {
    LogMessage("publish: [Publish] Url cannot be used (" + error + "); not publishing");
    return;
  }
  TRtspPublisherLinks links;
  links.url = std::move(*url);
  links.stream = ProcessServletLinks();
  links.userAgent = VersionText();
  const std::lock_guard guard(publisherLock);
  if (publisher) return;
  publisher = std::make_unique<TRtspPublisher>(std::move(links));
  publisher->Start();
}

void StopPublishing() {
  std::unique_ptr<TRtspPublisher> stopped;
  {
    const std::lock_guard guard(publisherLock);
    stopped = std::move(publisher);
  }
  // Outside the lock: the tray may ask for the hint meanwhile.
  stopped.reset();
}

std::string PublishingHint() {
  TPublishState state;
  {
    const std::lock_guard guard(publisherLock);
    if (!publisher) return {};
    state = publisher->State();
  }
  const TResourceTexts& texts = ResourceTexts();
  switch (state.phase) {
    case TPublishPhase::Connecting:
      return texts.connectingTo + " " + state.target;
    case TPublishPhase::Publishing:
      return texts.publishingTo + " " + state.target;
    case TPublishPhase::Retrying: {
      const auto left =
          std::chrono::ceil<std::chrono::seconds>(state.retryAt - std::chrono::steady_clock::now());
      return texts.retryingIn + " " + std::to_string(std::max<long long>(left.count(), 0)) + " " +
             texts.secondsShort;
    }
    case TPublishPhase::Refused:
      return texts.publishRefused + " " + std::to_string(state.status);
  }
  return {};
}
