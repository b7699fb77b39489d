// The screen-cast session of the desktop portal (org.freedesktop.portal.ScreenCast), the way any
// Wayland desktop lets a sandbox-minded client see the screen: the user picks a monitor in the
// compositor's dialog, and a restore token lets later runs skip that dialog.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Clock.h"
#include "platform/wayland/ScreenCastSession.h"

namespace platform::wayland {

struct TPortalScreenCastLinks {
  // Empty: the user's session bus.
  std::string busAddress;
  // The token the last run saved, so the user is not asked again; empty: none.
  std::string restoreToken;
  // Called from the session's thread with every new token, for the caller to save.
  std::function<void(const std::string&)> tokenChanged;
  // How long an ordinary call may take to be answered.
  std::chrono::milliseconds callTimeout{10'000};
  // How long the user may look at the prompt before we take silence as a no.
  std::chrono::milliseconds promptTimeout{5 * 60'000};
  // Paces the start-over after a failure.
  const TClock& clock;
};

class TPortalScreenCast final : public TScreenCastSession {
 public:
  explicit TPortalScreenCast(TPortalScreenCastLinks links);
  ~TPortalScreenCast() override;
  TPortalScreenCast(const TPortalScreenCast&) = delete;
  TPortalScreenCast& operator=(const TPortalScreenCast&) = delete;

  TCastNode Node() override;
  void Renew() override;

 private:
  // The conversation's thread: talks to the portal, publishes the outcome, and holds the
  // session open (it lives as long as our bus connection) until told to stop.
  void Run();
  void Publish(TCastNode node, int ownedFd);
  void StopConversation();

  TPortalScreenCastLinks links_;
  std::string restoreToken_;  // the conversation thread's own

  // Serialises starting and stopping the thread; never held by the thread itself.
  std::mutex controlMutex_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool started_ = false;

  std::mutex stateMutex_;
  TCastNode state_;
  int fd_ = -1;  // our own copy of the remote, handed out as duplicates
  std::uint32_t failedAt_ = 0;
};

}  // namespace platform::wayland
