#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "capture/GeneralQueue.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Items are addresses into this array; the queue must never free them.
int items[8];

TGeneralQueue::ItemDisposer Recording(std::vector<void*>& disposed) {
  return [&disposed](void* item) { disposed.push_back(item); };
}

// Bounded wait for another thread to block inside the queue.
bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(GeneralQueue, ResultsWhenFullEmptyOrGivenNothing) {
  std::vector<void*> disposed;
  TGeneralQueue queue(2, Recording(disposed));
  void* item = nullptr;
  int32_t tag = 0;

  EXPECT_EQ(queue.Read(item, tag, kQueueNoWait), QueueResult::ReadEmpty);
  EXPECT_EQ(queue.Write(nullptr, 1, kQueueWaitForever), QueueResult::NilItem);
  EXPECT_EQ(queue.Count(), 0);

  EXPECT_EQ(queue.Write(&items[0], 10, kQueueNoWait), QueueResult::Done);
  EXPECT_EQ(queue.Write(&items[1], 11, kQueueNoWait), QueueResult::Done);
  EXPECT_TRUE(queue.IsFull());
  EXPECT_EQ(queue.Write(&items[2], 12, kQueueNoWait), QueueResult::WriteFull);
  EXPECT_EQ(queue.Write(nullptr, 12, kQueueNoWait), QueueResult::NilItem);
  EXPECT_EQ(queue.Count(), 2);

  EXPECT_EQ(queue.Read(item, tag, kQueueNoWait), QueueResult::Done);
  EXPECT_EQ(item, &items[0]);
  EXPECT_EQ(tag, 10);
  EXPECT_FALSE(queue.IsFull());
  EXPECT_TRUE(disposed.empty());
  EXPECT_THROW(TGeneralQueue(0), std::invalid_argument);
}

TEST(GeneralQueue, TimesOutAfterTheGivenTime) {
  TGeneralQueue queue(1, [](void*) {});
  void* item = nullptr;
  int32_t tag = 0;
  auto start = steady_clock::now();
  EXPECT_EQ(queue.Read(item, tag, 20), QueueResult::ReadTimeOut);
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));

  ASSERT_EQ(queue.Write(&items[0], 0, kQueueNoWait), QueueResult::Done);
  start = steady_clock::now();
  EXPECT_EQ(queue.Write(&items[1], 0, 20), QueueResult::WriteTimeOut);
  EXPECT_GE(steady_clock::now() - start, milliseconds(20));
  EXPECT_EQ(queue.Count(), 1);
}

TEST(GeneralQueue, ClosedQueueEndsWaitsButStillDrains) {
  TGeneralQueue queue(4, [](void*) {});
  for (int i = 0; i < 3; ++i) ASSERT_EQ(queue.Write(&items[i], i, kQueueNoWait), QueueResult::Done);
  queue.CloseQueue();
  EXPECT_TRUE(queue.IsClosed());

  void* item = nullptr;
  int32_t tag = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(queue.Read(item, tag, kQueueWaitForever), QueueResult::Done);
    EXPECT_EQ(item, &items[i]);
  }
  // These would block for ever on an open queue.
  EXPECT_EQ(queue.Read(item, tag, kQueueWaitForever), QueueResult::Closed);
  EXPECT_EQ(queue.Read(item, tag, kQueueNoWait), QueueResult::ReadEmpty);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(queue.Write(&items[i], i, kQueueWaitForever), QueueResult::Done);
  }
  EXPECT_EQ(queue.Write(&items[4], 4, kQueueWaitForever), QueueResult::Closed);
  EXPECT_EQ(queue.Write(&items[4], 4, kQueueNoWait), QueueResult::WriteFull);
}

TEST(GeneralQueue, CloseWakesBlockedCallersAndReturnsAfterThem) {
  for (const bool blockWriter : {false, true}) {
    TGeneralQueue queue(1, [](void*) {});
    if (blockWriter) {
      ASSERT_EQ(queue.Write(&items[0], 0, kQueueNoWait), QueueResult::Done);
    }
    QueueResult result = QueueResult::Done;
    std::thread blocked([&] {
      void* item = nullptr;
      int32_t tag = 0;
      result = blockWriter ? queue.Write(&items[1], 1, kQueueWaitForever)
                           : queue.Read(item, tag, kQueueWaitForever);
    });
    ASSERT_TRUE(WaitFor([&] { return queue.WaitingWriters() + queue.WaitingReaders() == 1; }));
    queue.CloseQueue();
    EXPECT_EQ(queue.WaitingWriters() + queue.WaitingReaders(), 0);
    blocked.join();
    EXPECT_EQ(result, QueueResult::Closed) << (blockWriter ? "writer" : "reader");
  }
}

TEST(GeneralQueue, DisposesOfWhatItStillHoldsOnce) {
  std::vector<void*> disposed;
  {
    TGeneralQueue queue(4, Recording(disposed));
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(queue.Write(&items[i], i, kQueueNoWait), QueueResult::Done);
    void* item = nullptr;
    int32_t tag = 0;
    ASSERT_EQ(queue.Read(item, tag, kQueueNoWait), QueueResult::Done);  // now the caller's
    queue.Clear();
    EXPECT_EQ(disposed, (std::vector<void*>{&items[1], &items[2]}));
    EXPECT_EQ(queue.Count(), 0);
    ASSERT_EQ(queue.Write(&items[6], 6, kQueueNoWait), QueueResult::Done);
  }
  EXPECT_EQ(disposed, (std::vector<void*>{&items[1], &items[2], &items[6]}));
}

}  // namespace
