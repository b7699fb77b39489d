#include "ByeAction.h"

#include <string>
#include <utility>

#include "log/ServiceLog.h"

void TProcessByeActionPoster::SetReceiver(Receiver receiver) {
  const std::lock_guard lock(mutex_);
  receiver_ = std::move(receiver);
}

void TProcessByeActionPoster::Post(std::unique_ptr<ByeActionInfo> info) {
  if (!info) return;
  const std::lock_guard lock(mutex_);
  if (receiver_) {
    receiver_(std::move(info));
    return;
  }
  LogMessage("bye action without receiver, drop, ip=" + info->address +
             ", port=" + std::to_string(info->port));
}

TProcessByeActionPoster& ByeActionPoster() {
  static auto* poster = new TProcessByeActionPoster;
  return *poster;
}
