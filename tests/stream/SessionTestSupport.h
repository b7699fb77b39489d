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
