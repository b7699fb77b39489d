#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "CountingPackage.h"
#include "capture/ObjectBlockingQueue.h"

namespace {

TFramePackage* NewPackage(std::atomic<int>& frees, uint32_t value = 0) {
  uint8_t bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  return new CountingPackage(bytes, frees);
}

uint32_t ValueOf(const TFramePackage& package) {
  uint32_t value = 0;
  std::memcpy(&value, package.Data(), sizeof value);
  return value;
}

TEST(FramePackage, FreedByTheReleaseOfTheLastReference) {
  std::atomic<int> frees = 0;
  TFramePackage* package = NewPackage(frees);
  EXPECT_EQ(package->ReferenceCount(), 1);
  package->AddRef();
  package->AddRef();
  package->Release();
  package->Release();
  EXPECT_EQ(frees, 0);
  EXPECT_EQ(package->ReferenceCount(), 1);
  package->Release();
  EXPECT_EQ(frees, 1);
}

TEST(ObjectBlockingQueue, TimedInsertGivesUpOnAFullQueueAndTakesRoomWhenItComes) {
  std::atomic<int> frees = 0;
  TObjectBlockingQueue queue(1);
  queue.Insert(NewPackage(frees, 1));
  TFramePackage* late = NewPackage(frees, 2);
  EXPECT_EQ(queue.InsertFor(late, 20), QueueResult::WriteTimeOut);
  EXPECT_EQ(queue.InsertFor(late, kQueueNoWait), QueueResult::WriteFull);
  EXPECT_EQ(late->ReferenceCount(), 1) << "a refused package stays the caller's";

  std::thread consumer([&queue] { queue.Take(kQueueWaitForever)->Release(); });
  EXPECT_EQ(queue.InsertFor(late, 5000), QueueResult::Done);
  consumer.join();
  TFramePackage* taken = queue.Take(kQueueNoWait);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(ValueOf(*taken), 2u);
  taken->Release();
  EXPECT_EQ(frees, 2);
}

TEST(ObjectBlockingQueue, InsertFailuresRaiseAndLeaveTheReferenceWithTheCaller) {
  std::atomic<int> frees = 0;
  TObjectBlockingQueue queue(1);
  try {
    queue.Insert(nullptr);
    ADD_FAILURE() << "no exception for a null package";
  } catch (const QueueException& e) {
    EXPECT_EQ(e.Result(), QueueResult::NilItem);
    EXPECT_STREQ(e.what(), "ObjectQueue Insert Error,Invalid Pointer");
  }

  queue.Insert(NewPackage(frees));
  TFramePackage* rejected = NewPackage(frees);
  std::string message;
  std::thread producer([&] {
    try {
      queue.Insert(rejected);  // blocks: the queue is full
    } catch (const QueueException& e) {
      message = e.what();
    }
  });
  while (queue.WaitingWriters() == 0) std::this_thread::yield();
  queue.CloseQueue();
  producer.join();
  EXPECT_EQ(message, "ObjectQueue Insert Error,Buffer Closed");
  EXPECT_EQ(rejected->ReferenceCount(), 1);
  EXPECT_EQ(frees, 0);
  rejected->Release();
  EXPECT_EQ(frees, 1);
}

TEST(ObjectBlockingQueue, TakeAndClearingOrDestroyingGiveUpOnlyTheQueuesReferences) {
  std::atomic<int> frees = 0;
  TFramePackage* shared = NewPackage(frees, 42);
  {
    TObjectBlockingQueue first(4);
    TObjectBlockingQueue second(4);
    EXPECT_EQ(first.Take(kQueueNoWait), nullptr);
    EXPECT_EQ(first.Take(5), nullptr);
    for (TObjectBlockingQueue* queue : {&first, &second, &second}) {
      shared->AddRef();
      queue->Insert(shared);
      queue->Insert(NewPackage(frees));
    }
    TFramePackage* taken = second.Take(kQueueWaitForever);  // the queue's reference, handed over
    ASSERT_EQ(taken, shared);
    EXPECT_EQ(ValueOf(*taken), 42u);
    taken->Release();
    EXPECT_EQ(shared->ReferenceCount(), 3);

    first.Clear();
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(first.Count(), 0);
    EXPECT_EQ(shared->ReferenceCount(), 2);
  }
  EXPECT_EQ(frees, 3);
  EXPECT_EQ(shared->ReferenceCount(), 1);
  shared->Release();
  EXPECT_EQ(frees, 4);
}

// Several producers and consumers through a small queue: each package arrives exactly once, each
// consumer sees one producer's packages in the order written, and each package is freed once.
TEST(ObjectBlockingQueue, ManyProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 3;
  constexpr uint32_t kPerProducer = 2500;
  std::atomic<int> frees = 0;
  TObjectBlockingQueue queue(8);

  std::vector<std::vector<uint32_t>> seen(kConsumers);
  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; ++c) {
    consumers.emplace_back([&queue, &received = seen[static_cast<size_t>(c)]] {
      // Null only once the queue is closed and drained.
      while (TFramePackage* package = queue.Take(kQueueWaitForever)) {
        received.push_back(ValueOf(*package));
        package->Release();
      }
    });
  }
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, &frees, p] {
      for (uint32_t i = 0; i < kPerProducer; ++i) queue.Insert(NewPackage(frees, p << 16 | i));
    });
  }
  for (std::thread& producer : producers) producer.join();
  queue.CloseQueue();
  for (std::thread& consumer : consumers) consumer.join();

  std::vector<int> arrivals(kProducers * kPerProducer, 0);
  for (const std::vector<uint32_t>& received : seen) {
    std::array<int64_t, kProducers> last;
    last.fill(-1);
    for (const uint32_t value : received) {
      const uint32_t producer = value >> 16;
      const uint32_t index = value & 0xFFFF;
      ASSERT_LT(producer, static_cast<uint32_t>(kProducers));
      ASSERT_LT(index, kPerProducer);
      EXPECT_GT(static_cast<int64_t>(index), last[producer]) << "out of order";
      last[producer] = index;
      ++arrivals[producer * kPerProducer + index];
    }
  }
  for (size_t i = 0; i < arrivals.size(); ++i) ASSERT_EQ(arrivals[i], 1) << "package " << i;
  EXPECT_EQ(frees, kProducers * static_cast<int>(kPerProducer));
  EXPECT_EQ(queue.Count(), 0);
}

}  // namespace
