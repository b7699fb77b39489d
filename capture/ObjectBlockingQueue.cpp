#include "ObjectBlockingQueue.h"

namespace {

// The tag every package is queued with; nobody reads it back.
constexpr int32_t kPackageTag = 4;

void ReleasePackage(void* item) {
  static_cast<TFramePackage*>(item)->Release();
}

}  // namespace

const char* InsertErrorMessage(QueueResult result) {
  switch (result) {
    case QueueResult::NilItem:
      return "ObjectQueue Insert Error,Invalid Pointer";
    case QueueResult::Closed:
      return "ObjectQueue Insert Error,Buffer Closed";
    case QueueResult::WriteTimeOut:
      return "ObjectQueue Insert Error,Write TimeOut";
    case QueueResult::WriteWaitFailed:
      return "ObjectQueue Insert Error,Unsafe Write";
    case QueueResult::WriteFull:
      return "ObjectQueue Insert Error,Write Full";
    default:
      return "ObjectQueue Insert Error";
  }
}

TObjectBlockingQueue::TObjectBlockingQueue(int32_t capacity)
    : TGeneralQueue(capacity, &ReleasePackage) {}

void TObjectBlockingQueue::Insert(TFramePackage* package) {
  const QueueResult result = Write(package, kPackageTag, kQueueWaitForever);
  if (result != QueueResult::Done) throw QueueException(result, InsertErrorMessage(result));
}

QueueResult TObjectBlockingQueue::InsertFor(TFramePackage* package, int32_t timeoutMs) {
  return Write(package, kPackageTag, timeoutMs);
}

TFramePackage* TObjectBlockingQueue::Take(int32_t timeoutMs) {
  void* item = nullptr;
  int32_t tag = 0;
  if (Read(item, tag, timeoutMs) != QueueResult::Done) return nullptr;
  return static_cast<TFramePackage*>(item);
}
