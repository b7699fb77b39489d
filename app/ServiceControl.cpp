#include "ServiceControl.h"

#include <exception>
#include <memory>

#include "MainEventQueue.h"
#include "ProcessWiring.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "rtsp/RtspService.h"
#include "stream/ByeAction.h"
#include "stream/LiveSession.h"
#include "stream/RtspUdpServer.h"

void StartService() {
  LogMessage("start service-->");
  TRTSPService& service = RtspService();
  service.SetPort(Settings().RtspPort());
  service.SetActive(true);
  StartLivePipeline();
  LogMessage("start service<--");
}

void StopService() {
  LogMessage("stop service -->");
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

void ChangeCameraAccess(const TCameraAccess& access) {
  Settings().SetCameraAccess(access);
  Settings().SaveCameraAccess();
  TRTSPService& service = RtspService();
  service.SetActive(false);
  service.SetActive(true);
}

void HandleByeAction(const ByeActionInfo& info) {
  try {
    const auto manager = LiveSessionManager();
    const auto session = manager->FindSession(info.address, info.port);
    if (!session) return;
    session->StopStreaming();
    manager->RemoveSession(session);
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
