#include "ServiceControl.h"

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "MainEventQueue.h"
#include "OnvifWiring.h"
#include "ProcessWiring.h"
#include "PublishWiring.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "platform/LocalAddresses.h"
#include "rtsp/RtspService.h"
#include "stream/ByeAction.h"
#include "stream/LiveSession.h"
#include "stream/RtspUdpServer.h"

namespace {

// Without a password anyone who reaches the port watches the desktop; the user should be able to
// read where that is.
void LogOpenAccess(const TRTSPService& service, const TCameraAccess& access) {
  if (!access.user.empty() || !service.IsActive()) return;
  const std::vector<std::string> addresses = access.bindAddress.empty()
                                                 ? platform::LocalIpv4Addresses()
                                                 : std::vector<std::string>{access.bindAddress};
  std::string where;
  for (const std::string& address : addresses) {
    where += (where.empty() ? "" : ", ") + address + ":" + std::to_string(service.Port());
  }
  if (where.empty()) where = "every address, port " + std::to_string(service.Port());
  LogMessage("no camera password set: anyone who reaches " + where + " watches the desktop");
}

}  // namespace

void StartService() {
  LogMessage("start service-->");
  const TCameraAccess access = Settings().CameraAccess();
  TRTSPService& service = RtspService();
  service.SetPort(Settings().RtspPort());
  service.SetListenAddress(access.bindAddress);
  service.SetActive(true);
  LogOpenAccess(service, access);
  StartOnvifService();
  StartLivePipeline();
  StartPublishing();
  LogMessage("start service<--");
}

void StopService() {
  LogMessage("stop service -->");
  StopPublishing();
  FreeOnvifService();
  FreeRtspService();
  FreeRtspUdpServer();
  StopLivePipeline();
  LogMessage("stop service <--");
}

void ChangeRtspPort(int32_t port) {
  Settings().SetRtspPort(port);
  SaveRtspPort();
  TRTSPService& service = RtspService();
  service.SetActive(false);
  service.SetPort(port);
  service.SetActive(true);
}

bool ChangeCameraAccess(const TCameraAccess& access) {
  Settings().SetCameraAccess(access);
  const bool saved = Settings().SaveCameraAccess();
  if (!saved) LogMessage("save camera access failed, the new values apply until the program ends");
  StopService();
  StartService();
  return saved;
}

void HandleByeAction(const ByeActionInfo& info) {
  try {
    // The current manager only: a bye arriving after the service stopped has nothing to end.
    const auto manager = CurrentLiveSessionManager();
    if (!manager || manager->RemoveSessionsBoundTo(info.connectionId) == 0) return;
    LogMessage("recv bye action, ip=" + info.address + ", port=" + std::to_string(info.port));
  } catch (const std::exception&) {
    // A client that is gone either way; nothing to report to anyone.
  }
}

void RouteByeActionsToMainThread() {
  ByeActionPoster().SetReceiver([](std::unique_ptr<ByeActionInfo> info) {
    // The queue holds copyable events; the record is freed once the event has run.
    std::shared_ptr<ByeActionInfo> shared(std::move(info));
    MainEventQueue().Post([shared] { HandleByeAction(*shared); });
  });
}
