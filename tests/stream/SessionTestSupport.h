// Fakes for session tests besides the shared connection (FakeRtpConnection): a hand-moved clock,
// a bye-action collector and a log that keeps its lines.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BaseSession.h"
#include "ByeAction.h"
#include "Clock.h"
#include "FakeRtpConnection.h"
#include "LineLog.h"
#include "RtpTransport.h"

class FakeClock : public platform::TClock {
 public:
  platform::TLocalDateTime LocalNow() const override { return local; }
  uint32_t TickCount() const override { return tick; }
  platform::TLocalDateTime local{2026, 12, 7, 14, 23, 5, 0};
  uint32_t tick = 5000;
};

class ByeCollector : public TByeActionPoster {
 public:
  void Post(std::unique_ptr<ByeActionInfo> info) override {
    const std::lock_guard guard(lock);
    posted.push_back(*info);
  }
  std::mutex lock;
  std::vector<ByeActionInfo> posted;
};

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
