#include "OnvifWiring.h"

#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

#include "ScreenSource.h"
#include "capture/JpegPicture.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "onvif/OnvifIdentity.h"
#include "onvif/OnvifService.h"
#include "platform/Clock.h"
#include "platform/HostName.h"
#include "platform/MachineId.h"
#include "platform/ScreenCapture.h"
#include "stream/BaseSession.h"

namespace {

std::unique_ptr<TOnvifService> onvifService;

// A fresh connection for each picture, so a snapshot neither waits for nor disturbs the stream's
// own capture; one at a time, so that many requests cost one capture's CPU at once.
std::mutex snapshotLock;

std::optional<std::vector<std::uint8_t>> TakeSnapshot() {
  const std::lock_guard guard(snapshotLock);
  const auto capture = CreateProcessScreenCapture();
  if (capture->Open() != platform::TCaptureStatus::Ok) return std::nullopt;
  platform::TScreenPicture picture;
  if (capture->Capture(capture->Width(), capture->Height(), picture) !=
      platform::TCaptureStatus::Ok) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> jpeg = EncodeJpeg(picture);
  if (jpeg.empty()) return std::nullopt;
  return jpeg;
}

// The size the stream has: the configured one, else the screen's (asked of the screen at most
// once every ten seconds, since recorders ask for profiles often).
std::pair<int, int> StreamSize(const TVideoSettings& video) {
  if (video.width > 0 && video.height > 0) return {video.width & ~1, video.height & ~1};
  static std::mutex lock;
  static std::pair<int, int> screen{0, 0};
  static std::chrono::steady_clock::time_point asked{};
  const std::lock_guard guard(lock);
  const auto now = std::chrono::steady_clock::now();
  if (screen.first == 0 || now - asked > std::chrono::seconds(10)) {
    asked = now;
    const auto capture = CreateProcessScreenCapture();
    if (capture->Open() == platform::TCaptureStatus::Ok) {
      screen = {capture->Width() & ~1, capture->Height() & ~1};
    }
  }
  return screen;
}

TOnvifVideo OnvifVideo() {
  const TVideoSettings& video = Settings().Video();
  TOnvifVideo onvif;
  std::tie(onvif.width, onvif.height) = StreamSize(video);
  onvif.fps = video.fps;
  onvif.h264 = video.encodeType == kEncodeTypeH264;
  // The encoder runs at constant quality, not to a bit rate: this is what is announced to
  // recorders that insist on a limit, about what a busy 1080p desktop needs.
  onvif.bitrateKbps = 4096;
  onvif.gopLength = 25;  // the encoder's key frame interval
  onvif.h264Profile = "Baseline";
  onvif.sessionTimeoutSeconds = static_cast<int>(TBaseSession::kSessionTimeoutMs / 1000);
  return onvif;
}

TOnvifLinks ProcessOnvifLinks(const TCameraAccess& access) {
  const TOnvifSettings& settings = Settings().Onvif();
  TOnvifLinks links;
  const std::string name = settings.name.empty() ? platform::HostName() : settings.name;
  // Two users of one machine may each serve a desktop: each is a camera of its own.
  const std::string seed = platform::MachineId() + ":" + platform::HostName() + ":" +
                           std::to_string(::getuid());
  links.identity = MakeOnvifIdentity(seed, name.empty() ? "Vistrel" : name, VISTREL_VERSION);
  links.bindAddress = access.bindAddress;
  links.port = static_cast<std::uint16_t>(settings.port);
  links.discovery = settings.discovery;
  links.credentials = [] {
    const TCameraAccess now = Settings().CameraAccess();
    return TOnvifCredentials{now.user, now.password, now.allowBasic};
  };
  links.video = OnvifVideo;
  links.rtspPort = [] { return static_cast<std::uint16_t>(Settings().RtspPort()); };
  links.snapshot = TakeSnapshot;
  return links;
}

}  // namespace

void StartOnvifService() {
  const TCameraAccess access = Settings().CameraAccess();
  if (!access.onvifEnabled || onvifService) return;
  if (access.user.empty()) {
    LogMessage("ONVIF stays off: it needs a camera user and password ([Auth] User), "
               "and none is set");
    return;
  }
  auto service = std::make_unique<TOnvifService>(ProcessOnvifLinks(access));
  if (service->Start()) onvifService = std::move(service);
}

void FreeOnvifService() {
  onvifService.reset();
}
