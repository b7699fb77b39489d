// Links for session tests that talk only to the shared fakes: connection, clock, bye-action
// collector and line log.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "stream/BaseSession.h"
#include "stream/BaseSessionManager.h"
#include "stream/ByeAction.h"
#include "stream/RtpTransport.h"
#include "tests/support/ByeCollector.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeRtpConnection.h"
#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

// Links for sessions that talk only to fakes.
struct FakeLinks {
  FakeLinks() {
    links.fps = 25;
    links.clock = &clock;
    links.byeActionPoster = &byes;
    links.log = log.Sink();
    links.requestKeyFrame = [this] { ++keyFrameRequests; };
    links.serverRtpPort = [] { return 6554; };
  }
  FakeClock clock;
  ByeCollector byes;
  LineLog log;
  std::atomic<int> keyFrameRequests{0};
  TSessionLinks links;
};

// A session of the client at address, set up for UDP to its RTP port, owned by the connection
// with that Id (0: none); null when the manager refuses it.
inline std::shared_ptr<TBaseSession> UdpSession(TBaseSessionManager& manager,
                                                const std::string& address, int32_t port,
                                                uint64_t connectionId = 0) {
  std::shared_ptr<TBaseSession> session = manager.AddSession({address, connectionId, {}});
  if (session) session->SetClientPort(port);
  return session;
}
