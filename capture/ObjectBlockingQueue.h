// The queue between the producer of frame packages and one sender's thread. It holds one reference
// to each package inside it; clearing or destroying it gives those references up, so a package
// still queued for other sessions lives on.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "FramePackage.h"
#include "GeneralQueue.h"

class QueueException : public std::runtime_error {
 public:
  QueueException(QueueResult result, const std::string& message)
      : std::runtime_error(message), result_(result) {}
  QueueResult Result() const noexcept { return result_; }

 private:
  QueueResult result_;
};

// The message a failed insert reports, e.g. "ObjectQueue Insert Error,Buffer Closed".
const char* InsertErrorMessage(QueueResult result);

// Privately derived so that nothing but frame packages can be written into it: whatever is left
// inside is released as a package.
class TObjectBlockingQueue : private TGeneralQueue {
 public:
  explicit TObjectBlockingQueue(int32_t capacity);

  // Queues package, waiting without limit for room; on success the queue owns the caller's
  // reference. Throws QueueException when package is null or the queue is closed while waiting;
  // the caller then still owns its reference.
  void Insert(TFramePackage* package);
  // Queues package, waiting at most timeoutMs for room. Done means the queue took the caller's
  // reference; any other result (WriteTimeOut when no room came) leaves it with the caller.
  QueueResult InsertFor(TFramePackage* package, int32_t timeoutMs);
  // The oldest package, with the queue's reference handed to the caller; null on time-out, when
  // empty with no wait, or when closed while waiting.
  TFramePackage* Take(int32_t timeoutMs);

  using TGeneralQueue::Capacity;
  using TGeneralQueue::Clear;
  using TGeneralQueue::CloseQueue;
  using TGeneralQueue::Count;
  using TGeneralQueue::IsClosed;
  using TGeneralQueue::IsFull;
  using TGeneralQueue::WaitingReaders;
  using TGeneralQueue::WaitingWriters;
};
