#include "platform/wayland/MutterScreenCast.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <utility>

namespace platform::wayland {

namespace {

constexpr char kService[] = "org.gnome.Mutter.ScreenCast";
constexpr char kPath[] = "/org/gnome/Mutter/ScreenCast";
constexpr char kSessionInterface[] = "org.gnome.Mutter.ScreenCast.Session";
constexpr char kStreamInterface[] = "org.gnome.Mutter.ScreenCast.Stream";

constexpr std::uint32_t kRetryIntervalMs = 1000;
// How soon a thread waiting on the bus notices Renew or the end of the session object.
constexpr std::uint64_t kPollMicroseconds = 100000;
// Mutter's cursor-mode for a pointer drawn into the pixels.
constexpr std::uint32_t kCursorEmbedded = 1;

std::string ErrorText(int code) {
  return std::strerror(code < 0 ? -code : code);
}

// Errors that mean there is no GNOME compositor to ask (or it will not answer this user):
// asking again every second would only fill the log.
// Nobody owning the name is not taken as a no: while GNOME restarts, its name is briefly gone,
// and the capture must come back by itself once it is there again.
bool MeansNoMutter(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED);
}

TCastNode Outcome(TCastStatus status, std::string error) {
  TCastNode node;
  node.status = status;
  node.error = std::move(error);
  return node;
}

}  // namespace

// One session with the compositor over one bus connection, which the compositor ties the
// session to: closing the connection ends the session too.
class TMutterScreenCast::TConversation {
 public:
  explicit TConversation(const TMutterScreenCastLinks& links) : links_(links) {}
  ~TConversation() {
    if (bus_ && !session_.empty() && !closed_) {
      // The answer does not matter; the connection's end would stop the session anyway.
      sd_bus_call_method(bus_, kService, session_.c_str(), kSessionInterface, "Stop", nullptr,
                         nullptr, "");
    }
    sd_bus_slot_unref(addedSlot_);
    sd_bus_slot_unref(closedSlot_);
    sd_bus_flush_close_unref(bus_);
  }
  TConversation(const TConversation&) = delete;
  TConversation& operator=(const TConversation&) = delete;

  TCastNode Start(const std::function<bool()>& abandon) {
    if (const int r = OpenBus(); r < 0)
      return Outcome(TCastStatus::Failed, "cannot connect to the session bus" + Where() + ": " +
                                              ErrorText(r));
    sd_bus_set_method_call_timeout(bus_, static_cast<std::uint64_t>(std::chrono::microseconds(links_.callTimeout).count()));
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    int r = sd_bus_call_method(bus_, kService, kPath, kService, "CreateSession", &error, &reply,
                               "a{sv}", 0);
    if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
    if (r >= 0) session_ = path;
    reply = sd_bus_message_unref(reply);
    if (r < 0) {
      const bool noMutter = MeansNoMutter(error);
      TCastNode node = Outcome(
          noMutter ? TCastStatus::Refused : TCastStatus::Failed,
          (noMutter ? "GNOME's screen-cast interface (" + std::string(kService) +
                          ") is not available on the session bus: "
                    : "creating a GNOME screen-cast session failed (" + std::string(kService) +
                          "): ") +
              (error.message ? error.message : ErrorText(r)));
      sd_bus_error_free(&error);
      return node;
    }
    // Empty connector: the primary monitor.
    r = sd_bus_call_method(bus_, kService, session_.c_str(), kSessionInterface, "RecordMonitor",
                           &error, &reply, "sa{sv}", "", 1, "cursor-mode", "u", kCursorEmbedded);
    if (r >= 0) r = sd_bus_message_read(reply, "o", &path);
    std::string stream = r >= 0 ? path : "";
    reply = sd_bus_message_unref(reply);
    // The node is announced once, right after Start: listen before starting.
    if (r >= 0)
      r = sd_bus_match_signal(bus_, &addedSlot_, nullptr, stream.c_str(), kStreamInterface,
                              "PipeWireStreamAdded", &TConversation::OnAdded, this);
    if (r >= 0)
      r = sd_bus_match_signal(bus_, &closedSlot_, nullptr, session_.c_str(), kSessionInterface,
                              "Closed", &TConversation::OnClosed, this);
    if (r >= 0)
      r = sd_bus_call_method(bus_, kService, session_.c_str(), kSessionInterface, "Start", &error,
                             nullptr, "");
    if (r < 0) {
      TCastNode node = Outcome(TCastStatus::Failed,
                               "starting the GNOME screen-cast session failed: " +
                                   (error.message ? std::string(error.message) : ErrorText(r)));
      sd_bus_error_free(&error);
      return node;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + links_.callTimeout;
    while (!nodeArrived_) {
      if (std::string ended = Serve(); !ended.empty())
        return Outcome(TCastStatus::Failed, ended);
      if (abandon()) return Outcome(TCastStatus::Failed, "abandoned");
      const auto now = std::chrono::steady_clock::now();
      if (nodeArrived_) break;
      if (now >= deadline)
        return Outcome(TCastStatus::Failed, "GNOME announced no PipeWire node within " +
                                                std::to_string(links_.callTimeout.count()) + " ms");
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
      sd_bus_wait(bus_, std::min<std::uint64_t>(kPollMicroseconds,
                                                 static_cast<std::uint64_t>(left)));
    }
    TCastNode node;
    node.status = TCastStatus::Ok;
    node.remoteFd = -1;
    node.node = node_;
    node.cursorEmbedded = true;
    return node;
  }

  // Serves the bus until abandon() says so (empty result) or the session ends (why).
  std::string Keep(const std::function<bool()>& abandon) {
    while (!abandon()) {
      if (std::string ended = Serve(); !ended.empty()) return ended;
      sd_bus_wait(bus_, kPollMicroseconds);
    }
    return {};
  }

 private:
  int OpenBus() {
    if (links_.busAddress.empty()) return sd_bus_open_user(&bus_);
    int r = sd_bus_new(&bus_);
    if (r >= 0) r = sd_bus_set_address(bus_, links_.busAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
    return r;
  }

  std::string Where() const {
    return links_.busAddress.empty() ? "" : " at " + links_.busAddress;
  }

  // Handles what arrived; why the session is over, or empty.
  std::string Serve() {
    int r = 0;
    do r = sd_bus_process(bus_, nullptr);
    while (r > 0);
    if (r < 0) return "lost the session bus: " + ErrorText(r);
    if (closed_) return "GNOME closed the screen-cast session";
    return {};
  }

  static int OnAdded(sd_bus_message* message, void* self, sd_bus_error*) {
    auto& conversation = *static_cast<TConversation*>(self);
    std::uint32_t node = 0;
    if (sd_bus_message_read(message, "u", &node) >= 0) {
      conversation.node_ = node;
      conversation.nodeArrived_ = true;
    }
    return 0;
  }

  static int OnClosed(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<TConversation*>(self)->closed_ = true;
    return 0;
  }

  const TMutterScreenCastLinks& links_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* addedSlot_ = nullptr;
  sd_bus_slot* closedSlot_ = nullptr;
  std::string session_;
  bool nodeArrived_ = false;
  std::uint32_t node_ = 0;
  bool closed_ = false;
};

TMutterScreenCast::TMutterScreenCast(TMutterScreenCastLinks links)
    : links_(std::move(links)), thread_([this] { Run(); }) {}

TMutterScreenCast::~TMutterScreenCast() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

TCastNode TMutterScreenCast::Node() {
  const std::lock_guard lock(mutex_);
  if (haveResult_) {
    const bool retry = result_.status == TCastStatus::Failed &&
                       TicksElapsed(failedAt_, links_.clock.TickCount()) >= kRetryIntervalMs;
    if (!retry) return result_;
    haveResult_ = false;
  }
  if (!awaiting_) {
    wanted_ = true;
    wake_.notify_all();
  }
  return Outcome(TCastStatus::Pending, "waiting for GNOME's screen-cast session");
}

void TMutterScreenCast::Renew() {
  const std::lock_guard lock(mutex_);
  ++generation_;
  haveResult_ = false;
  awaiting_ = false;
  wanted_ = false;
}

bool TMutterScreenCast::Abandoned(std::uint64_t generation) {
  const std::lock_guard lock(mutex_);
  return stopping_ || generation != generation_;
}

void TMutterScreenCast::Post(std::uint64_t generation, TCastNode node) {
  const std::lock_guard lock(mutex_);
  if (stopping_ || generation != generation_) return;
  if (node.status == TCastStatus::Failed) failedAt_ = links_.clock.TickCount();
  result_ = std::move(node);
  haveResult_ = true;
  awaiting_ = false;
}

void TMutterScreenCast::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || wanted_; });
    if (stopping_) return;
    wanted_ = false;
    awaiting_ = true;
    const std::uint64_t generation = generation_;
    lock.unlock();
    {
      TConversation conversation(links_);
      const auto abandon = [this, generation] { return Abandoned(generation); };
      TCastNode node = conversation.Start(abandon);
      const bool ok = node.status == TCastStatus::Ok;
      Post(generation, std::move(node));
      if (ok)
        if (std::string ended = conversation.Keep(abandon); !ended.empty())
          Post(generation, Outcome(TCastStatus::Failed, ended));
      // The conversation stops the session here, outside the lock, so Node never waits on it.
    }
    lock.lock();
  }
}

}  // namespace platform::wayland
