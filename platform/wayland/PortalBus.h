// The session-bus connection a desktop-portal conversation runs on. The portal answers most calls
// twice: the method returns a Request object at once, and the real result comes later as that
// object's Response signal, possibly after the user looked at a dialog. Every wait here runs in
// short slices, so that the owner can end a conversation with a portal that never answers.
#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform::wayland {

struct TBusMessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using TBusMessagePtr = std::unique_ptr<sd_bus_message, TBusMessageUnref>;

enum class TPortalOutcome {
  Answered,
  // The bus has nobody serving the portal, or the portal lacks the interface or method asked.
  NoPortal,
  TimedOut,
  // The owner asked the conversation to end.
  Stopped,
  // A bus error or a reply of the wrong shape.
  Failed,
};

class TPortalBus {
 public:
  // Connects to the bus at `address` (empty: the user's session bus). Waits end early once `stop`
  // is set. Error() says why when the connection failed; every later call then fails.
  TPortalBus(const std::string& address, std::chrono::milliseconds timeout,
             const std::atomic<bool>& stop);
  ~TPortalBus();
  TPortalBus(const TPortalBus&) = delete;
  TPortalBus& operator=(const TPortalBus&) = delete;

  // A method call to the portal's service; null when the bus failed (Error() says why).
  TBusMessagePtr NewCall(const char* path, const char* interface, const char* member);

  // Sends `call` and waits for its reply.
  TPortalOutcome Call(sd_bus_message* call, std::chrono::milliseconds timeout,
                      TBusMessagePtr* reply);

  // Sends a call whose options carry `handle_token` = `token` and waits for its Response:
  // `response` gets the code, `results` the signal with its read position on the results a{sv}.
  TPortalOutcome Request(sd_bus_message* call, const std::string& token,
                         std::chrono::milliseconds timeout, std::uint32_t* response,
                         TBusMessagePtr* results);

  // Sends a call and does not wait for an answer; the message is on its way on return.
  void Send(sd_bus_message* call);

  // Handles what arrives for up to `slice` (signals the owner subscribed to with Raw()); false
  // once the connection is gone.
  bool Serve(std::chrono::milliseconds slice);

  // A fresh token for a handle_token or session_handle_token option.
  static std::string NewToken();

  // Records that a reply, though it arrived, cannot be used: always Failed.
  TPortalOutcome Odd(const std::string& what) {
    error_ = what;
    return TPortalOutcome::Failed;
  }

  sd_bus* Raw() const { return bus_; }
  // What went wrong last, in one English line.
  const std::string& Error() const { return error_; }

 private:
  template <typename Done>
  TPortalOutcome WaitUntil(Done done, std::chrono::steady_clock::time_point deadline);
  TPortalOutcome Fail(const std::string& what, int error);

  sd_bus* bus_ = nullptr;
  const std::atomic<bool>& stop_;
  std::string error_;
};

}  // namespace platform::wayland
