// The network source a thread's log lines come from, so the log can bound how many lines one
// source makes it write.
#pragma once

#include <string>

// While one lives, the lines its thread writes count against `source` (a client's address, without
// the port). Scopes nest: the inner source holds until its scope ends. An empty source stands for
// the program itself, whose lines are never left out.
class TLogSourceScope {
 public:
  explicit TLogSourceScope(std::string source);
  ~TLogSourceScope();
  TLogSourceScope(const TLogSourceScope&) = delete;
  TLogSourceScope& operator=(const TLogSourceScope&) = delete;

  // The calling thread's source; empty outside any scope.
  static const std::string& Current();

 private:
  std::string previous_;
};
