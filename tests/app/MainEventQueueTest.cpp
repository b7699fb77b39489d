#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/MainEventQueue.h"

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

TEST(MainEventQueue, AnotherLoopWokenPerPostRunsWhatWasPostedSoFar) {
  std::vector<std::string> log;
  TMainEventQueue queue([&log](std::string_view line) { log.emplace_back(line); });
  std::atomic<int> wakes{0};
  queue.SetWakeHandler([&wakes] { ++wakes; });
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i) queue.Post([&seen, i] { seen.push_back(i); });
  });
  poster.join();
  queue.Post([] { throw std::runtime_error("bad event"); });
  // An event posting another: it waits for the next round, so one round always ends.
  queue.Post([&] { queue.Post([&seen] { seen.push_back(99); }); });
  EXPECT_EQ(wakes.load(), 52);
  queue.RunPosted();
  ASSERT_EQ(seen.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(log, std::vector<std::string>{"main form msg proc failed, e=bad event"});
  EXPECT_EQ(wakes.load(), 53);
  queue.RunPosted();
  EXPECT_EQ(seen.back(), 99);

  queue.SetWakeHandler({});
  queue.Post([] {});
  EXPECT_EQ(wakes.load(), 53) << "a cleared handler is not called";
}

}  // namespace
