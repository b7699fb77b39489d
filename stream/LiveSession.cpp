#include "LiveSession.h"

#include <mutex>

#include "DesktopEncoder.h"
#include "RtspUdpServer.h"
#include "Settings.h"

TLiveSessionManager::TLiveSessionManager(TSessionLinks links, TLiveChannelManager& channels)
    : TBaseSessionManager(std::move(links)), channels_(channels) {}

TLiveSessionManager::~TLiveSessionManager() {
  RemoveAllSessions();
}

TBaseSessionManager::SessionPtr TLiveSessionManager::CreateSession() {
  return std::make_shared<TLiveSession>(Links());
}

void TLiveSessionManager::SessionAttached(const SessionPtr& session) {
  TBaseSessionManager::SessionAttached(session);
  TLiveChannel& channel = channels_.GetOrCreateChannel();
  channel.AttachSession(session);
  // Attaching runs outside the registry's lock; a session removed in between must not linger.
  if (FindSession(session->ClientAddress(), session->ClientPort()) != session) {
    channel.DetachSession(session.get());
  }
}

void TLiveSessionManager::RemoveSession(const SessionPtr& session) {
  if (!session) return;
  channels_.GetOrCreateChannel().DetachSession(session.get());
  TBaseSessionManager::RemoveSession(session);
}

namespace {

// Sends through whichever UDP server the process has at the time of sending.
class ProcessUdpSender final : public TRtpDatagramSender {
 public:
  bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) override {
    return RtspUdpServer().SendGathered(address, port, pieces);
  }
};

std::mutex processManagerLock;
std::shared_ptr<TLiveSessionManager> processManager;

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

std::shared_ptr<TLiveSessionManager> LiveSessionManager() {
  std::shared_ptr<TLiveSessionManager> manager;
  {
    const std::lock_guard guard(processManagerLock);
    if (processManager) return processManager;
    processManager =
        std::make_shared<TLiveSessionManager>(ProcessSessionLinks(), LiveChannelManager());
    manager = processManager;
  }
  // Outside the lock: installing waits for a listener still running, which may be asking for the
  // manager itself.
  const std::weak_ptr<TLiveSessionManager> weak = manager;
  TRTSPUDPServer::SetDatagramListener([weak](const std::string& address, int port) {
    if (const auto live = weak.lock()) live->TouchEndpoint(address, port);
  });
  return manager;
}

std::shared_ptr<TLiveSessionManager> CurrentLiveSessionManager() {
  const std::lock_guard guard(processManagerLock);
  return processManager;
}

void FreeLiveSessionManager() {
  TRTSPUDPServer::SetDatagramListener({});
  std::shared_ptr<TLiveSessionManager> manager;
  {
    const std::lock_guard guard(processManagerLock);
    manager = std::move(processManager);
  }
  // Now, not when the last holder lets go: the UDP server goes right after this.
  if (manager) {
    for (const auto& session : manager->Sessions()) manager->RemoveSession(session);
  }
  manager.reset();
}
