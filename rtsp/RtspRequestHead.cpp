#include "RtspRequestHead.h"

#include "RtspRequest.h"

TRtspRequestHead::TState TRtspRequestHead::AddLine(std::string_view line) {
  if (state_ != TState::NeedMore) return state_;
  // The request line and the header fields; the blank line that ends the head is not counted.
  if (!line.empty() && ++lines_ > kMaxRtspHeaderCount + 1) return state_ = TState::TooLarge;
  if (line.size() + 2 > kMaxRtspRequestHeadBytes - text_.size()) return state_ = TState::TooLarge;
  text_.append(line);
  text_.append("\r\n");
  if (line.empty()) state_ = TState::Complete;
  return state_;
}
