#include "platform/wayland/PortalBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace platform::wayland {
namespace {

using namespace std::chrono_literals;
using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::steady_clock;

// Short enough that ending a conversation never waits noticeably, long enough not to spin.
constexpr auto kSlice = 100ms;

constexpr const char* kPortalService = "org.freedesktop.portal.Desktop";

struct TSlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using TSlotPtr = std::unique_ptr<sd_bus_slot, TSlotUnref>;

std::uint64_t Usec(std::chrono::milliseconds timeout) {
  return static_cast<std::uint64_t>(duration_cast<microseconds>(timeout).count());
}

// Errors that mean the portal, or the part of it we need, is not there; anything else is a fault.
bool MeansNoPortal(std::string_view name, std::string_view member) {
  constexpr std::string_view kMissing[] = {
      "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
      "org.freedesktop.DBus.Error.UnknownObject",  "org.freedesktop.DBus.Error.UnknownInterface",
      "org.freedesktop.DBus.Error.UnknownMethod",  "org.freedesktop.DBus.Error.UnknownProperty"};
  // GLib services, xdg-desktop-portal among them, answer a property read on an interface they do
  // not export with InvalidArgs.
  if (member == "Get" && name == "org.freedesktop.DBus.Error.InvalidArgs") return true;
  return std::find(std::begin(kMissing), std::end(kMissing), name) != std::end(kMissing);
}

int KeepMessage(sd_bus_message* message, void* target, sd_bus_error*) {
  auto* kept = static_cast<TBusMessagePtr*>(target);
  if (!*kept) kept->reset(sd_bus_message_ref(message));
  return 0;
}

std::string Member(sd_bus_message* call) {
  const char* member = sd_bus_message_get_member(call);
  return member != nullptr ? member : "a portal call";
}

}  // namespace

TPortalBus::TPortalBus(const std::string& address, std::chrono::milliseconds timeout,
                       const std::atomic<bool>& stop)
    : stop_(stop) {
  int result = 0;
  if (address.empty()) {
    result = sd_bus_open_user(&bus_);
  } else {
    result = sd_bus_new(&bus_);
    if (result >= 0) result = sd_bus_set_address(bus_, address.c_str());
    if (result >= 0) result = sd_bus_set_bus_client(bus_, 1);
    if (result >= 0) result = sd_bus_negotiate_fds(bus_, 1);
    if (result >= 0) result = sd_bus_start(bus_);
  }
  // Subscribing to a Response waits for the bus daemon's reply; never longer than a portal call.
  if (result >= 0) result = sd_bus_set_method_call_timeout(bus_, Usec(timeout));
  if (result < 0) {
    Fail("cannot connect to the session bus", result);
  } else {
    const TPortalOutcome hello =
        WaitUntil([this] { return sd_bus_is_ready(bus_) > 0; }, steady_clock::now() + timeout);
    if (hello == TPortalOutcome::TimedOut) error_ = "the session bus did not accept us in time";
    if (hello == TPortalOutcome::Stopped) error_ = "the conversation was ended";
    if (hello == TPortalOutcome::Answered) return;
  }
  bus_ = sd_bus_flush_close_unref(bus_);
}

TPortalBus::~TPortalBus() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

TBusMessagePtr TPortalBus::NewCall(const char* path, const char* interface, const char* member) {
  if (bus_ == nullptr) return nullptr;
  sd_bus_message* call = nullptr;
  const int result =
      sd_bus_message_new_method_call(bus_, &call, kPortalService, path, interface, member);
  if (result < 0) Fail(std::string("cannot build the call ") + member, result);
  return TBusMessagePtr(call);
}

TPortalOutcome TPortalBus::Call(sd_bus_message* call, std::chrono::milliseconds timeout,
                                TBusMessagePtr* reply) {
  if (bus_ == nullptr || call == nullptr) return TPortalOutcome::Failed;
  const std::string member = Member(call);
  TBusMessagePtr answer;
  sd_bus_slot* slot = nullptr;
  const int sent = sd_bus_call_async(bus_, &slot, call, KeepMessage, &answer, Usec(timeout));
  if (sent < 0) return Fail("cannot send " + member, sent);
  const TSlotPtr pending(slot);
  const TPortalOutcome outcome =
      WaitUntil([&answer] { return answer != nullptr; }, steady_clock::now() + timeout);
  if (outcome == TPortalOutcome::TimedOut) {
    error_ = member + " got no reply within " + std::to_string(timeout.count()) + " ms";
  }
  if (outcome != TPortalOutcome::Answered) return outcome;
  if (const sd_bus_error* error = sd_bus_message_get_error(answer.get()); error != nullptr) {
    const std::string name = error->name != nullptr ? error->name : "an unnamed error";
    error_ =
        member + " failed: " + name + (error->message ? std::string(": ") + error->message : "");
    // sd-bus reports its own time-out as an error reply.
    if (name == "org.freedesktop.DBus.Error.NoReply") return TPortalOutcome::TimedOut;
    return MeansNoPortal(name, member) ? TPortalOutcome::NoPortal : TPortalOutcome::Failed;
  }
  *reply = std::move(answer);
  return TPortalOutcome::Answered;
}

TPortalOutcome TPortalBus::Request(sd_bus_message* call, const std::string& token,
                                   std::chrono::milliseconds timeout, std::uint32_t* response,
                                   TBusMessagePtr* results) {
  if (bus_ == nullptr || call == nullptr) return TPortalOutcome::Failed;
  const std::string member = Member(call);
  const auto deadline = steady_clock::now() + timeout;
  const char* unique = nullptr;
  const int named = sd_bus_get_unique_name(bus_, &unique);
  if (named < 0) return Fail("the session bus gave us no name", named);
  // The portal names the Request object after our bus name and the token; subscribing to it
  // before calling means a quick Response cannot slip past us.
  std::string sender = unique[0] == ':' ? unique + 1 : unique;
  std::replace(sender.begin(), sender.end(), '.', '_');
  const std::string predicted = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
  TBusMessagePtr signal;
  sd_bus_slot* slot = nullptr;
  int result = sd_bus_match_signal_async(bus_, &slot, nullptr, predicted.c_str(),
                                         "org.freedesktop.portal.Request", "Response", KeepMessage,
                                         nullptr, &signal);
  if (result < 0) return Fail("cannot subscribe to the answer of " + member, result);
  const TSlotPtr predictedMatch(slot);

  TBusMessagePtr reply;
  TPortalOutcome outcome = Call(call, timeout, &reply);
  if (outcome != TPortalOutcome::Answered) return outcome;
  const char* handle = nullptr;
  result = sd_bus_message_read(reply.get(), "o", &handle);
  if (result <= 0)
    return Fail(member + " returned no request object", result < 0 ? result : -EBADMSG);
  // Portals older than the predictable paths answer on the object they return.
  TSlotPtr returnedMatch;
  if (predicted != handle) {
    slot = nullptr;
    result =
        sd_bus_match_signal_async(bus_, &slot, nullptr, handle, "org.freedesktop.portal.Request",
                                  "Response", KeepMessage, nullptr, &signal);
    if (result < 0) return Fail("cannot subscribe to the answer of " + member, result);
    returnedMatch.reset(slot);
  }
  outcome = WaitUntil([&signal] { return signal != nullptr; }, deadline);
  if (outcome == TPortalOutcome::TimedOut) {
    error_ = member + " got no answer within " + std::to_string(timeout.count()) + " ms";
  }
  if (outcome != TPortalOutcome::Answered) return outcome;
  if (!sd_bus_message_has_signature(signal.get(), "ua{sv}") ||
      sd_bus_message_read(signal.get(), "u", response) <= 0) {
    error_ = member + " was answered with a Response of the wrong shape";
    return TPortalOutcome::Failed;
  }
  *results = std::move(signal);
  return TPortalOutcome::Answered;
}

void TPortalBus::Send(sd_bus_message* call) {
  if (bus_ == nullptr || call == nullptr) return;
  sd_bus_message_set_expect_reply(call, 0);
  if (sd_bus_send(bus_, call, nullptr) >= 0) sd_bus_flush(bus_);
}

bool TPortalBus::Serve(std::chrono::milliseconds slice) {
  if (bus_ == nullptr) return false;
  const TPortalOutcome outcome = WaitUntil([] { return false; }, steady_clock::now() + slice);
  return outcome != TPortalOutcome::Failed;
}

std::string TPortalBus::NewToken() {
  static std::atomic<unsigned> counter{0};
  return "vistrel" + std::to_string(++counter);
}

template <typename Done>
TPortalOutcome TPortalBus::WaitUntil(Done done, steady_clock::time_point deadline) {
  for (;;) {
    if (done()) return TPortalOutcome::Answered;
    if (stop_.load()) return TPortalOutcome::Stopped;
    const int processed = sd_bus_process(bus_, nullptr);
    if (processed < 0) return Fail("the session bus connection broke", processed);
    if (processed > 0) continue;
    const auto now = steady_clock::now();
    if (now >= deadline) return TPortalOutcome::TimedOut;
    const auto slice = std::min<steady_clock::duration>(deadline - now, kSlice);
    const int waited =
        sd_bus_wait(bus_, static_cast<std::uint64_t>(duration_cast<microseconds>(slice).count()));
    if (waited < 0 && waited != -EINTR) return Fail("waiting on the session bus failed", waited);
  }
}

TPortalOutcome TPortalBus::Fail(const std::string& what, int error) {
  error_ = what + ": " + std::strerror(-error);
  return TPortalOutcome::Failed;
}

}  // namespace platform::wayland
