#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MainEventQueue.h"

namespace {

TEST(MainEventQueue, RunsEventsInOrderFromAnyThreadUntilQuit) {
  std::vector<std::string> log;
  TMainEventQueue queue([&log](std::string_view line) { log.emplace_back(line); });
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 100; ++i) queue.Post([&seen, i] { seen.push_back(i); });
    queue.Post([] { throw std::runtime_error("bad event"); });
    queue.Post([&seen] { seen.push_back(100); });
    queue.Quit();
  });
  queue.Run();
  poster.join();
  ASSERT_EQ(seen.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(log, std::vector<std::string>{"main form msg proc failed, e=bad event"});

  bool ranLate = false;
  queue.Post([&ranLate] { ranLate = true; });
  EXPECT_FALSE(ranLate) << "events after the quit are dropped";
}

}  // namespace
