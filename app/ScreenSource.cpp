#include "ScreenSource.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "log/ServiceLog.h"
#include "platform/Clock.h"
#include "platform/wayland/MutterScreenCast.h"
#include "platform/wayland/PipeWireScreenCapture.h"
#include "platform/wayland/PortalScreenCast.h"

namespace {

using platform::wayland::TCastNode;
using platform::wayland::TCastStatus;
using platform::wayland::TScreenCastSession;

std::string_view Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Remembers how the last answer went, so that the tray can tell without asking the session.
class TWatchedCastSession final : public TScreenCastSession {
 public:
  explicit TWatchedCastSession(std::unique_ptr<TScreenCastSession> session)
      : session_(std::move(session)) {}

  TCastNode Node() override {
    TCastNode node = session_->Node();
    refused_.store(node.status == TCastStatus::Refused, std::memory_order_relaxed);
    return node;
  }
  void Renew() override { session_->Renew(); }
  bool Refused() const { return refused_.load(std::memory_order_relaxed); }

 private:
  std::unique_ptr<TScreenCastSession> session_;
  std::atomic<bool> refused_{false};
};

std::mutex sourceLock;
bool chosen = false;
TCaptureBackend backend = TCaptureBackend::X11;
// Never destroyed: captures made from it may live on in threads still running at exit.
TWatchedCastSession* castSession = nullptr;

void SaveToken(const std::string& token) {
  if (!SavePortalToken(Settings().ConfigFile(), token)) {
    LogMessage("screen capture: could not save the portal's restore token in " +
               Settings().ConfigFile().string() + "; the next start asks again");
  }
}

std::unique_ptr<TScreenCastSession> MakeCastSession(TCaptureBackend kind) {
  if (kind == TCaptureBackend::Mutter) {
    return std::make_unique<platform::wayland::TMutterScreenCast>(
        platform::wayland::TMutterScreenCastLinks{
            .busAddress = {}, .callTimeout = std::chrono::seconds(5), .clock = platform::SystemClock()});
  }
  return std::make_unique<platform::wayland::TPortalScreenCast>(
      platform::wayland::TPortalScreenCastLinks{.busAddress = {},
                                                .restoreToken = Settings().Capture().portalToken,
                                                .tokenChanged = SaveToken,
                                                .callTimeout = std::chrono::seconds(10),
                                                .promptTimeout = std::chrono::minutes(5),
                                                .clock = platform::SystemClock()});
}

void Choose() {
  const TCaptureSettings& settings = Settings().Capture();
  const std::optional<TCaptureChoice> choice = ParseCaptureChoice(settings.choice);
  if (!choice) {
    LogMessage("Capture=" + settings.choice +
               " in SConfig.ini is not one of auto, x11, portal, mutter; choosing by the session");
  }
  backend = ChooseCaptureBackend(choice.value_or(TCaptureChoice::Auto), Variable("XDG_SESSION_TYPE"),
                                 Variable("WAYLAND_DISPLAY"));
  static constexpr const char* kNames[] = {"the X11 display", "the desktop portal and PipeWire",
                                           "GNOME's screen cast and PipeWire"};
  LogMessage(std::string("screen capture: through ") + kNames[static_cast<int>(backend)]);
  if (backend != TCaptureBackend::X11) {
    castSession = new TWatchedCastSession(MakeCastSession(backend));
    castSession->Node();
  }
  chosen = true;
}

// Shared ownership of a session that is never destroyed.
std::shared_ptr<TScreenCastSession> SharedCastSession() {
  return {std::shared_ptr<void>(), castSession};
}

}  // namespace

TCaptureBackend ChooseCaptureBackend(TCaptureChoice choice, std::string_view sessionType,
                                     std::string_view waylandDisplay) {
  switch (choice) {
    case TCaptureChoice::X11: return TCaptureBackend::X11;
    case TCaptureChoice::Portal: return TCaptureBackend::Portal;
    case TCaptureChoice::Mutter: return TCaptureBackend::Mutter;
    case TCaptureChoice::Auto: break;
  }
  if (sessionType == "wayland") return TCaptureBackend::Portal;
  if (!sessionType.empty() && sessionType != "tty") return TCaptureBackend::X11;
  return waylandDisplay.empty() ? TCaptureBackend::X11 : TCaptureBackend::Portal;
}

std::unique_ptr<platform::TScreenCapture> CreateProcessScreenCapture() {
  const std::lock_guard guard(sourceLock);
  if (!chosen) Choose();
  if (backend == TCaptureBackend::X11) return platform::CreateScreenCapture(platform::SystemClock());
  return platform::CreatePipeWireScreenCapture(platform::SystemClock(),
                                                        SharedCastSession());
}

bool ScreenSharingRefused() {
  const std::lock_guard guard(sourceLock);
  return castSession && castSession->Refused();
}

void AskForScreenSharingAgain() {
  TWatchedCastSession* session = nullptr;
  {
    const std::lock_guard guard(sourceLock);
    session = castSession;
  }
  if (!session) return;
  LogMessage("screen capture: asking again to share the screen");
  session->Renew();
  session->Node();
}

bool WindowsReachable() {
  if (platform::ScreenReachable()) return true;
  const std::string_view display = Variable("WAYLAND_DISPLAY");
  if (display.empty()) return false;
  // A relative name lives in the runtime folder, as Wayland clients look for it.
  std::filesystem::path socket(display);
  if (socket.is_relative()) socket = std::filesystem::path(Variable("XDG_RUNTIME_DIR")) / socket;
  struct stat info {};
  return stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}
