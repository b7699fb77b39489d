// Fakes for session tests: a connection that records what is written to it, a datagram socket,
// a hand-moved clock, a bye-action collector and a log that keeps its lines.
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
#include "tests/support/LineLog.h"
#include "tests/support/WaitUntil.h"

class FakeConnection : public TRtpConnection {
 public:
  bool IsOpen() const override { return open; }
  bool WriteAll(std::span<const uint8_t> bytes) override {
    const std::lock_guard guard(lock);
    written.insert(written.end(), bytes.begin(), bytes.end());
    ++writes;
    return true;
  }
  void SetDisconnectHandler(std::function<void()> handler) override {
    const std::lock_guard guard(lock);
    onDisconnect = std::move(handler);
  }
  void Drop() {
    std::function<void()> handler;
    {
      const std::lock_guard guard(lock);
      open = false;
      handler = onDisconnect;
    }
    if (handler) handler();
  }
  size_t Writes() {
    const std::lock_guard guard(lock);
    return writes;
  }

  std::mutex lock;
  bool open = true;
  std::vector<uint8_t> written;
  size_t writes = 0;
  std::function<void()> onDisconnect;
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
