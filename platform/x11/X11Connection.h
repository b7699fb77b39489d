// One Xlib connection that neither ends the process nor loses track of its errors. Xlib's
// default handlers exit on any protocol error (a BadMatch from a screen read that raced a
// resize) and on any I/O error (the server went away); a capture must survive both.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <string>

namespace platform::x11 {

class TX11Connection {
 public:
  // Connects to the named display; nullptr when it cannot.
  static std::unique_ptr<TX11Connection> Open(const std::string& name);
  ~TX11Connection();

  TX11Connection(const TX11Connection&) = delete;
  TX11Connection& operator=(const TX11Connection&) = delete;

  Display* Get() const { return display_; }
  const std::string& Name() const { return name_; }

  // The connection to the server broke; every further request fails at once. Close and reopen.
  bool Lost() const { return lost_; }

  // The first protocol error the server reported on this connection since the last call, as
  // text; empty when none. Errors of requests without a reply arrive only after a Sync.
  std::string TakeError();

  // Waits until the server has handled every request sent so far.
  void Sync();

 private:
  TX11Connection(Display* display, std::string name);

  friend int OnProtocolError(Display* display, XErrorEvent* event);
  friend int OnConnectionError(Display* display);
  friend void OnConnectionErrorExit(Display* display, void* connection);

  Display* display_;
  std::string name_;
  bool lost_ = false;
  std::string error_;
};

}  // namespace platform::x11
