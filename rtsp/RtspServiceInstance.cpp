// The process's RTSP service: the program's method handlers, the process-wide session manager and
// the service log.
#include <memory>
#include <mutex>

#include "RtspService.h"
#include "RtspServlets.h"
#include "stream/LiveSession.h"

namespace {

std::mutex instanceLock;
std::unique_ptr<TRTSPService> instance;

TRtspServiceLinks ProcessServiceLinks() {
  TRtspServiceLinks links;
  // The current manager only: a client that leaves without a session must not create one.
  links.sessions = [] { return std::shared_ptr<TBaseSessionManager>(CurrentLiveSessionManager()); };
  links.freeSessions = [] { FreeLiveSessionManager(); };
  return links;
}

}  // namespace

TRTSPService& RtspService() {
  const std::lock_guard guard(instanceLock);
  if (!instance) {
    instance = std::make_unique<TRTSPService>(MakeRtspServlets(ProcessServletLinks()),
                                              ProcessServiceLinks());
  }
  return *instance;
}

void FreeRtspService() {
  std::unique_ptr<TRTSPService> service;
  {
    const std::lock_guard guard(instanceLock);
    service = std::move(instance);
  }
  // Outside the lock: destruction waits for every connection thread.
  service.reset();
}
