#include "platform/wayland/PortalScreenCast.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/wayland/PortalBus.h"

namespace platform::wayland {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDesktopPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr std::uint32_t kMonitor = 1;
constexpr std::uint32_t kCursorHidden = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kCursorMetadata = 4;
constexpr std::uint32_t kPersistUntilRevoked = 2;
// The first portal version that keeps a permission across runs through a restore token.
constexpr std::uint32_t kPersistVersion = 4;
constexpr std::uint32_t kRetryPauseMs = 1000;

// What one conversation with the portal came to.
struct TTalk {
  TCastNode node;
  int fd = -1;  // ours when the node is Ok
  std::string session;
  std::string newToken;
};

TCastNode Ended(TCastStatus status, std::string error) {
  TCastNode node;
  node.status = status;
  node.error = std::move(error);
  return node;
}

// A bus outcome other than Answered as the node's status: silence at the prompt is the user's
// no, so that an unattended desktop is not shown a new dialog every second.
TCastNode Ended(TPortalOutcome outcome, const TPortalBus& bus, bool prompt) {
  switch (outcome) {
    case TPortalOutcome::NoPortal:
      return Ended(TCastStatus::Refused,
                   "no screen-cast portal on the session bus (" + bus.Error() + ")");
    case TPortalOutcome::TimedOut:
      return Ended(prompt ? TCastStatus::Refused : TCastStatus::Failed,
                   prompt ? "nobody answered the prompt to share the screen (" + bus.Error() + ")"
                          : bus.Error());
    case TPortalOutcome::Stopped:
      return Ended(TCastStatus::Failed, "the screen-cast conversation was ended");
    default:
      return Ended(TCastStatus::Failed, bus.Error());
  }
}

// Walks the a{sv} at the read position, calling visit(key, signature of the value) on each entry
// with the read position on its variant; a visit that returns 0 leaves the value unread.
template <typename Visit>
int ForEachOption(sd_bus_message* message, Visit visit) {
  int result = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (result <= 0) return result < 0 ? result : -EBADMSG;
  while ((result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    char type = 0;
    const char* contents = nullptr;
    result = sd_bus_message_read(message, "s", &key);
    if (result > 0) result = sd_bus_message_peek_type(message, &type, &contents);
    if (result > 0) result = visit(std::string_view(key), std::string(contents ? contents : ""));
    if (result == 0) result = sd_bus_message_skip(message, "v");
    if (result >= 0) result = sd_bus_message_exit_container(message);
    if (result < 0) return result;
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

// Reads a string option whose value may come as "s" or, from older portals, "o".
int ReadPath(sd_bus_message* message, const std::string& signature, std::string* value) {
  if (signature != "s" && signature != "o") return 0;
  const char* text = nullptr;
  const int result = sd_bus_message_read(message, "v", signature.c_str(), &text);
  if (result > 0) *value = text;
  return result;
}

// Start's streams a(ua{sv}): the first stream's node and announced size.
int ReadStreams(sd_bus_message* message, TCastNode* node, bool* found) {
  int result = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
  if (result > 0) result = sd_bus_message_enter_container(message, 'a', "(ua{sv})");
  while (result > 0 && (result = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    std::uint32_t id = 0;
    int width = 0;
    int height = 0;
    result = sd_bus_message_read(message, "u", &id);
    if (result > 0) {
      result = ForEachOption(message, [&](std::string_view key, const std::string& signature) {
        if (key != "size" || signature != "(ii)") return 0;
        return sd_bus_message_read(message, "v", "(ii)", &width, &height);
      });
    }
    if (result >= 0) result = sd_bus_message_exit_container(message);
    if (result >= 0 && !*found) {
      *found = true;
      node->node = id;
      node->width = width > 0 && height > 0 ? width : 0;
      node->height = width > 0 && height > 0 ? height : 0;
    }
  }
  if (result == 0) result = sd_bus_message_exit_container(message);
  if (result >= 0) result = sd_bus_message_exit_container(message);
  return result < 0 ? result : 1;
}

int AppendHandleToken(sd_bus_message* call, const std::string& token) {
  int result = sd_bus_message_open_container(call, 'a', "{sv}");
  if (result >= 0) result = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
  return result;
}

// One Request-style call: sends it, waits, and turns a Response code other than success into
// the node's end. True when the portal said yes; `results` then holds the answer.
bool Ask(TPortalBus& bus, sd_bus_message* call, const std::string& token,
         std::chrono::milliseconds timeout, bool prompt, TTalk* talk, TBusMessagePtr* results) {
  if (call == nullptr) {
    talk->node = Ended(TCastStatus::Failed, "cannot build a screen-cast portal call");
    return false;
  }
  std::uint32_t response = 0;
  const TPortalOutcome outcome = bus.Request(call, token, timeout, &response, results);
  const std::string member = sd_bus_message_get_member(call);
  if (outcome != TPortalOutcome::Answered) {
    talk->node = Ended(outcome, bus, prompt);
  } else if (response == 1) {
    talk->node = Ended(TCastStatus::Refused, "the user declined to share the screen");
  } else if (response == 2) {
    talk->node = Ended(TCastStatus::Refused,
                       "the screen-cast portal ended " + member + " without sharing the screen");
  } else if (response != 0) {
    talk->node =
        Ended(TCastStatus::Failed, "the screen-cast portal answered " + member +
                                       " with the unknown code " + std::to_string(response));
  }
  return outcome == TPortalOutcome::Answered && response == 0;
}

TPortalOutcome ReadProperty(TPortalBus& bus, const char* name, std::chrono::milliseconds timeout,
                            std::uint32_t* value) {
  TBusMessagePtr call = bus.NewCall(kDesktopPath, "org.freedesktop.DBus.Properties", "Get");
  if (call && sd_bus_message_append(call.get(), "ss", kScreenCast, name) < 0) call.reset();
  TBusMessagePtr reply;
  const TPortalOutcome outcome = bus.Call(call.get(), timeout, &reply);
  if (outcome != TPortalOutcome::Answered) return outcome;
  if (sd_bus_message_read(reply.get(), "v", "u", value) <= 0) {
    return bus.Odd(std::string("the screen-cast portal's ") + name + " is not a number");
  }
  return TPortalOutcome::Answered;
}

std::uint32_t CursorMode(std::uint32_t offered) {
  for (const std::uint32_t mode : {kCursorEmbedded, kCursorMetadata, kCursorHidden}) {
    if ((offered & mode) != 0) return mode;
  }
  return 0;
}

TTalk Converse(TPortalBus& bus, const TPortalScreenCastLinks& links,
               const std::string& restoreToken) {
  TTalk talk;
  const auto timeout = links.callTimeout;
  std::uint32_t version = 0;
  std::uint32_t cursorModes = 0;
  TPortalOutcome outcome = ReadProperty(bus, "version", timeout, &version);
  // Portals before version 2 offer no choice of pointer.
  if (outcome == TPortalOutcome::Answered && version >= 2) {
    outcome = ReadProperty(bus, "AvailableCursorModes", timeout, &cursorModes);
  }
  if (outcome != TPortalOutcome::Answered) {
    talk.node = Ended(outcome, bus, false);
    return talk;
  }

  std::string token = TPortalBus::NewToken();
  TBusMessagePtr call = bus.NewCall(kDesktopPath, kScreenCast, "CreateSession");
  if (call && (AppendHandleToken(call.get(), token) < 0 ||
               sd_bus_message_append(call.get(), "{sv}", "session_handle_token", "s",
                                     TPortalBus::NewToken().c_str()) < 0 ||
               sd_bus_message_close_container(call.get()) < 0)) {
    call.reset();
  }
  TBusMessagePtr results;
  if (!Ask(bus, call.get(), token, timeout, false, &talk, &results)) return talk;
  if (ForEachOption(results.get(),
                    [&](std::string_view key, const std::string& signature) {
                      return key == "session_handle"
                                 ? ReadPath(results.get(), signature, &talk.session)
                                 : 0;
                    }) < 0 ||
      talk.session.empty()) {
    talk.node = Ended(TCastStatus::Failed, "the screen-cast portal created no session");
    return talk;
  }

  const std::uint32_t cursorMode = CursorMode(cursorModes);
  token = TPortalBus::NewToken();
  call = bus.NewCall(kDesktopPath, kScreenCast, "SelectSources");
  int built = call ? sd_bus_message_append(call.get(), "o", talk.session.c_str()) : -EINVAL;
  if (built >= 0) built = AppendHandleToken(call.get(), token);
  if (built >= 0)
    built =
        sd_bus_message_append(call.get(), "{sv}{sv}", "types", "u", kMonitor, "multiple", "b", 0);
  if (built >= 0 && cursorMode != 0) {
    built = sd_bus_message_append(call.get(), "{sv}", "cursor_mode", "u", cursorMode);
  }
  if (built >= 0 && version >= kPersistVersion) {
    built = sd_bus_message_append(call.get(), "{sv}", "persist_mode", "u", kPersistUntilRevoked);
    if (built >= 0 && !restoreToken.empty()) {
      built = sd_bus_message_append(call.get(), "{sv}", "restore_token", "s", restoreToken.c_str());
    }
  }
  if (built >= 0) built = sd_bus_message_close_container(call.get());
  if (built < 0) call.reset();
  if (!Ask(bus, call.get(), token, timeout, false, &talk, &results)) return talk;

  token = TPortalBus::NewToken();
  call = bus.NewCall(kDesktopPath, kScreenCast, "Start");
  built = call ? sd_bus_message_append(call.get(), "os", talk.session.c_str(), "") : -EINVAL;
  if (built >= 0) built = AppendHandleToken(call.get(), token);
  if (built >= 0) built = sd_bus_message_close_container(call.get());
  if (built < 0) call.reset();
  if (!Ask(bus, call.get(), token, links.promptTimeout, true, &talk, &results)) return talk;
  bool found = false;
  const int read =
      ForEachOption(results.get(), [&](std::string_view key, const std::string& signature) {
        if (key == "restore_token") return ReadPath(results.get(), signature, &talk.newToken);
        return key == "streams" ? ReadStreams(results.get(), &talk.node, &found) : 0;
      });
  if (read < 0 || !found) {
    talk.node = Ended(TCastStatus::Failed, read < 0 ? "the screen-cast portal's Start answer is "
                                                      "of the wrong shape"
                                                    : "the screen-cast portal started no stream");
    return talk;
  }

  call = bus.NewCall(kDesktopPath, kScreenCast, "OpenPipeWireRemote");
  if (call && sd_bus_message_append(call.get(), "oa{sv}", talk.session.c_str(), 0) < 0) {
    call.reset();
  }
  TBusMessagePtr reply;
  outcome = bus.Call(call.get(), timeout, &reply);
  int fd = -1;
  if (outcome == TPortalOutcome::Answered && sd_bus_message_read(reply.get(), "h", &fd) <= 0) {
    outcome = bus.Odd("the screen-cast portal's OpenPipeWireRemote returned no file descriptor");
  }
  if (outcome != TPortalOutcome::Answered) {
    talk.node = Ended(outcome, bus, false);
    return talk;
  }
  // The reply owns its descriptor and closes it with the message.
  talk.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (talk.fd < 0) {
    talk.node = Ended(TCastStatus::Failed,
                      std::string("cannot keep the PipeWire remote: ") + std::strerror(errno));
    return talk;
  }
  talk.node.status = TCastStatus::Ok;
  talk.node.cursorEmbedded = cursorMode == kCursorEmbedded;
  return talk;
}

int NoteClosed(sd_bus_message*, void* closed, sd_bus_error*) {
  *static_cast<bool*>(closed) = true;
  return 0;
}

}  // namespace

TPortalScreenCast::TPortalScreenCast(TPortalScreenCastLinks links)
    : links_(std::move(links)), restoreToken_(links_.restoreToken) {}

TPortalScreenCast::~TPortalScreenCast() {
  const std::lock_guard control(controlMutex_);
  StopConversation();
  if (fd_ >= 0) close(fd_);
}

TCastNode TPortalScreenCast::Node() {
  const std::lock_guard control(controlMutex_);
  {
    const std::lock_guard lock(stateMutex_);
    const bool retry = state_.status == TCastStatus::Failed &&
                       TicksElapsed(failedAt_, links_.clock.TickCount()) >= kRetryPauseMs;
    if (started_ && !retry) {
      TCastNode node = state_;
      if (node.status == TCastStatus::Ok) {
        node.remoteFd = fcntl(fd_, F_DUPFD_CLOEXEC, 3);
        if (node.remoteFd < 0) {
          node = Ended(TCastStatus::Failed, std::string("cannot duplicate the PipeWire remote: ") +
                                                std::strerror(errno));
        }
      }
      return node;
    }
  }
  StopConversation();
  Publish(Ended(TCastStatus::Pending, {}), -1);
  stop_ = false;
  started_ = true;
  thread_ = std::thread(&TPortalScreenCast::Run, this);
  return Ended(TCastStatus::Pending, {});
}

void TPortalScreenCast::Renew() {
  const std::lock_guard control(controlMutex_);
  StopConversation();
  Publish(Ended(TCastStatus::Pending, {}), -1);
  started_ = false;
}

void TPortalScreenCast::StopConversation() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TPortalScreenCast::Publish(TCastNode node, int ownedFd) {
  const std::lock_guard lock(stateMutex_);
  if (fd_ >= 0) close(fd_);
  fd_ = ownedFd;
  if (node.status == TCastStatus::Failed) failedAt_ = links_.clock.TickCount();
  state_ = std::move(node);
}

void TPortalScreenCast::Run() {
  TPortalBus bus(links_.busAddress, links_.callTimeout, stop_);
  TTalk talk = bus.Raw() != nullptr ? Converse(bus, links_, restoreToken_)
                                    : TTalk{Ended(TCastStatus::Failed, bus.Error()), -1, {}, {}};
  if (!talk.newToken.empty()) {
    restoreToken_ = talk.newToken;
    if (links_.tokenChanged) links_.tokenChanged(talk.newToken);
  }
  if (talk.node.status == TCastStatus::Ok) {
    // The session lives as long as this connection; hold it and notice the desktop ending it
    // (the user's "stop sharing").
    bool closed = false;
    sd_bus_slot* slot = nullptr;
    sd_bus_match_signal_async(bus.Raw(), &slot, nullptr, talk.session.c_str(), kSession, "Closed",
                              NoteClosed, nullptr, &closed);
    Publish(talk.node, talk.fd);
    bool connected = true;
    while (!stop_ && !closed && connected) connected = bus.Serve(100ms);
    sd_bus_slot_unref(slot);
    if (closed) {
      Publish(Ended(TCastStatus::Refused, "the desktop ended the screen-cast session"), -1);
    } else if (!connected) {
      Publish(Ended(TCastStatus::Failed, bus.Error()), -1);
    }
  } else {
    Publish(talk.node, -1);
  }
  if (!talk.session.empty()) {
    TBusMessagePtr close = bus.NewCall(talk.session.c_str(), kSession, "Close");
    bus.Send(close.get());
  }
}

}  // namespace platform::wayland
