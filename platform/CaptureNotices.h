// What a screen capture tells its caller about its state: the last error, and one log line per
// change of state, so that a screen that stays unreachable yields one line rather than one per
// retry. Shared by the capture backends.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

#include "ScreenCapture.h"

namespace platform {

class TCaptureNotices {
 public:
  // newReasonIsNewState: a failure for another reason than the last one is a change of state
  // even when the status stays.
  explicit TCaptureNotices(bool newReasonIsNewState) : newReasonIsNewState_(newReasonIsNewState) {}

  // Records the outcome and keeps a line for the log when the state changed or `always` is set
  // (an empty text is never kept). Returns whether the status is a failure.
  bool Report(TCaptureStatus status, const std::string& text, bool always) {
    const bool changed = !reportedAny_ || status != reported_ ||
                         (newReasonIsNewState_ && status != TCaptureStatus::Ok && text != lastError_);
    if (status != TCaptureStatus::Ok) lastError_ = text;
    if ((always || changed) && !text.empty()) {
      // A caller that never takes them must not grow the queue for ever.
      if (pending_.size() == kMaxPending) pending_.pop_front();
      pending_.push_back(text);
    }
    reported_ = status;
    reportedAny_ = true;
    return status != TCaptureStatus::Ok;
  }

  std::string Take() {
    if (pending_.empty()) return {};
    std::string notice = std::move(pending_.front());
    pending_.pop_front();
    return notice;
  }

  const std::string& LastError() const { return lastError_; }
  TCaptureStatus Reported() const { return reported_; }

 private:
  static constexpr std::size_t kMaxPending = 16;

  const bool newReasonIsNewState_;
  TCaptureStatus reported_ = TCaptureStatus::Ok;
  bool reportedAny_ = false;
  std::string lastError_;
  std::deque<std::string> pending_;
};

}  // namespace platform
