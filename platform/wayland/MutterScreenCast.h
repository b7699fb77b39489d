// GNOME's own screen-cast interface (org.gnome.Mutter.ScreenCast) on the session bus. It asks
// nobody, so it serves headless GNOME machines, where no portal chooser can be clicked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/wayland/ScreenCastSession.h"

namespace platform::wayland {

struct TMutterScreenCastLinks {
  // A D-Bus address such as "unix:path=/run/user/1000/bus"; empty: the user's session bus.
  std::string busAddress;
  // How long one call, and the wait for the stream's node, may take.
  std::chrono::milliseconds callTimeout{5000};
  // Paces new conversations after a failed one; must outlive the session.
  const TClock& clock;
};

// Records the primary monitor with the pointer drawn into the pixels, the node read through the
// user's own PipeWire daemon. The conversation runs on a thread of its own, which also keeps the
// bus connection that the compositor ties the session to.
class TMutterScreenCast final : public TScreenCastSession {
 public:
  explicit TMutterScreenCast(TMutterScreenCastLinks links);
  // Stops the session; returns within about the call time-out.
  ~TMutterScreenCast() override;

  TCastNode Node() override;
  void Renew() override;

 private:
  class TConversation;
  void Run();
  // Whether the conversation of `generation` should end: destruction or Renew.
  bool Abandoned(std::uint64_t generation);
  // Publishes the outcome of the conversation of `generation` unless it was abandoned.
  void Post(std::uint64_t generation, TCastNode node);

  const TMutterScreenCastLinks links_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool wanted_ = false;
  // Counts Renew calls, so the thread can tell its session is no longer wanted.
  std::uint64_t generation_ = 0;
  // A conversation of the current generation runs and has not told its outcome yet.
  bool awaiting_ = false;
  TCastNode result_;
  bool haveResult_ = false;
  std::uint32_t failedAt_ = 0;
  std::thread thread_;
};

}  // namespace platform::wayland
