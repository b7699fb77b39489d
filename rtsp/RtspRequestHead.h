// Collects the head of one request line by line as the connection delivers it. The connection
// bounds each line, but not how many lines a client sends before its blank line; this stops
// collecting at the same limits TRtspRequest::Parse applies, so a client cannot make the server
// hold more than one bounded head.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TRtspRequestHead {
 public:
  enum class TState {
    NeedMore,  // no blank line yet: read the next line
    Complete,  // the blank line arrived: Text is the head to parse (Parse may still refuse it)
    TooLarge,  // a limit was broken: answer 400 and close, the rest of the head is still unread
  };

  // Adds one line as read, without its line end; an empty line ends the head. Lines added once
  // the head is complete or too large are ignored.
  TState AddLine(std::string_view line);

  TState State() const { return state_; }
  // The lines so far, each followed by CR LF.
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
  std::size_t lines_ = 0;
  TState state_ = TState::NeedMore;
};
