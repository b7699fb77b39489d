#include "ProcessWiring.h"

#include <chrono>
#include <mutex>
#include <span>
#include <string>

#include "ScreenSource.h"
#include "capture/CaptureDemand.h"
#include "capture/DesktopEncoder.h"
#include "capture/EncoderBinding.h"
#include "capture/LiveDataGenerator.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "platform/Clock.h"
#include "platform/ScreenCapture.h"
#include "rtsp/RtspService.h"
#include "rtsp/RtspServlets.h"
#include "stream/LiveChannel.h"
#include "stream/LiveSession.h"
#include "stream/RtpTransport.h"
#include "stream/RtspUdpServer.h"

TDesktopEncoder& DesktopEncoder() {
  static TDesktopEncoder* const instance =
      new TDesktopEncoder(Settings().Video(), ProcessEncoderBinding(),
                          CreateProcessScreenCapture(),
                          platform::SystemClock(), GetServiceLog());
  return *instance;
}

TLiveChannelManager& LiveChannelManager() {
  static TLiveChannelManager* const instance =
      new TLiveChannelManager(Settings().Video().encodeType);
  return *instance;
}

namespace {

std::mutex udpServerLock;
std::unique_ptr<TRTSPUDPServer> udpServer;

// Sends through whichever UDP server the process has at the time of sending.
class ProcessUdpSender final : public TRtpDatagramSender {
 public:
  bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) override {
    return RtspUdpServer().SendGathered(address, port, pieces);
  }
  size_t SendBatch(const std::string& address, uint16_t port,
                   std::span<const TBytePieces> datagrams) override {
    return RtspUdpServer().SendBatch(address, port, datagrams);
  }
};

// How late a silent UDP client's session may go after its time-out.
constexpr std::chrono::milliseconds kSessionSweepInterval{1000};

std::mutex sessionManagerLock;
std::shared_ptr<TLiveSessionManager> sessionManager;

TSessionLinks ProcessSessionLinks() {
  static ProcessUdpSender udpSender;
  TSessionLinks links;
  links.fps = Settings().Video().fps;
  links.datagramSender = &udpSender;
  links.serverRtpPort = [] {
    TRTSPUDPServer& server = RtspUdpServer();
    server.Activate();
    return server.RtpPort();
  };
  links.requestKeyFrame = [] { DesktopEncoder().RequestKeyFrame(); };
  return links;
}

}  // namespace

TRTSPUDPServer& RtspUdpServer() {
  const std::lock_guard guard(udpServerLock);
  if (!udpServer) {
    udpServer = std::make_unique<TRTSPUDPServer>(Settings().RtspPort(),
                                                 Settings().CameraAccess().bindAddress);
  }
  return *udpServer;
}

void FreeRtspUdpServer() {
  std::unique_ptr<TRTSPUDPServer> server;
  {
    const std::lock_guard guard(udpServerLock);
    server = std::move(udpServer);
  }
  // Destroyed outside the lock: closing waits for the receive threads, and nothing they run
  // should have to wait for the accessor.
}

std::shared_ptr<TLiveSessionManager> LiveSessionManager() {
  std::shared_ptr<TLiveSessionManager> manager;
  {
    const std::lock_guard guard(sessionManagerLock);
    if (sessionManager) return sessionManager;
    sessionManager =
        std::make_shared<TLiveSessionManager>(ProcessSessionLinks(), LiveChannelManager());
    manager = sessionManager;
  }
  manager->StartSweeping(kSessionSweepInterval);
  // Outside the lock: installing waits for a listener still running, which may be asking for the
  // manager itself.
  const std::weak_ptr<TLiveSessionManager> weak = manager;
  TRTSPUDPServer::SetDatagramListener([weak](const std::string& address, int port) {
    if (const auto live = weak.lock()) live->TouchEndpoint(address, port);
  });
  return manager;
}

std::shared_ptr<TLiveSessionManager> CurrentLiveSessionManager() {
  const std::lock_guard guard(sessionManagerLock);
  return sessionManager;
}

void FreeLiveSessionManager() {
  TRTSPUDPServer::SetDatagramListener({});
  std::shared_ptr<TLiveSessionManager> manager;
  {
    const std::lock_guard guard(sessionManagerLock);
    manager = std::move(sessionManager);
  }
  // Now, not when the last holder lets go: the UDP server goes right after this.
  if (manager) {
    manager->StopSweeping();
    for (const auto& session : manager->Sessions()) manager->RemoveSession(session);
  }
  manager.reset();
}

namespace {

std::mutex serviceLock;
std::unique_ptr<TRTSPService> service;

// Whether the generator captures: for the sessions, and for a while after a description.
TCaptureDemand captureDemand;

TRtspServiceLinks ProcessServiceLinks() {
  TRtspServiceLinks links;
  // The current manager only: a client that leaves without a session must not create one.
  links.sessions = [] { return std::shared_ptr<TBaseSessionManager>(CurrentLiveSessionManager()); };
  links.freeSessions = [] { FreeLiveSessionManager(); };
  // Read for each request: Camera Access may change them while clients are connected.
  links.credentials = [] {
    const TCameraAccess access = Settings().CameraAccess();
    return TRtspCredentials{access.user, access.password, access.allowBasic};
  };
  return links;
}

}  // namespace

TRtspServletLinks ProcessServletLinks() {
  TRtspServletLinks links;
  links.sessions = [] { return LiveSessionManager(); };
  links.channel = [] { return &LiveChannelManager().GetOrCreateChannel(); };
  links.fmtpLine = [] { return DesktopEncoder().FmtpLine(); };
  links.startCapture = [] { captureDemand.Describing(TCaptureDemand::TClock::now()); };
  links.udpEnabled = Settings().UdpEnabled();
  links.audioEnabled = Settings().AudioEnabled();
  return links;
}

TRTSPService& RtspService() {
  const std::lock_guard guard(serviceLock);
  if (!service) {
    service = std::make_unique<TRTSPService>(MakeRtspServlets(ProcessServletLinks()),
                                             ProcessServiceLinks());
  }
  return *service;
}

void FreeRtspService() {
  std::unique_ptr<TRTSPService> freed;
  {
    const std::lock_guard guard(serviceLock);
    freed = std::move(service);
  }
  // Outside the lock: destruction waits for every connection thread.
  freed.reset();
}

void StartLivePipeline() {
  TLiveDataGeneratorLinks links;
  links.encoder = []() -> TDesktopEncoder& { return DesktopEncoder(); };
  links.hasSessions = [] {
    const auto manager = CurrentLiveSessionManager();
    return captureDemand.Wanted(TCaptureDemand::TClock::now(),
                                manager && manager->HasPlayingSessions());
  };
  links.dispatchFrame = [](std::span<const uint8_t> frame, int64_t capturedMicros) {
    LiveChannelManager().GetOrCreateChannel().DispatchFrame(frame, capturedMicros);
  };
  StartLiveDataGenerator(std::move(links));
}

void StopLivePipeline() {
  StopLiveDataGenerator();
}
