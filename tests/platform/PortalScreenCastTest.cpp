#include "platform/wayland/PortalScreenCast.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "tests/support/ChildProcess.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Subprocess.h"
#include "tests/support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using platform::wayland::TCastNode;
using platform::wayland::TCastStatus;
using platform::wayland::TPortalScreenCast;

constexpr const char* kSessionPath = "/org/freedesktop/portal/desktop/session/fake";

struct Behaviour {
  std::uint32_t version, cursorModes;
  std::string token;     // the restore_token Start returns
  std::string silent;    // the call whose Response never comes
  std::string refusing;  // the call answered with `refusal`
  std::uint32_t refusal;
  bool oddStreams;
};

// The desktop portal's screen-cast part, recording each call as "Member key=value..." (handle
// tokens left out), with a pipe end holding "ok" as the PipeWire remote.
class FakePortal {
 public:
  FakePortal(const std::string& address, Behaviour behaviour) : behaviour_(std::move(behaviour)) {
    EXPECT_TRUE(pipe(pipe_) == 0 && write(pipe_[1], "ok", 2) == 2);
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    EXPECT_GE(sd_bus_start(bus_), 0);
    sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/portal/desktop",
                             "org.freedesktop.portal.ScreenCast", kScreenCast, this);
    sd_bus_add_object_vtable(bus_, nullptr, kSessionPath, "org.freedesktop.portal.Session",
                             kSession, this);
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.portal.Desktop", 0), 0);
    thread_ = std::thread([this] {
      while (!stop_)
        if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 20'000);
    });
  }
  ~FakePortal() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
    close(pipe_[0]);
    close(pipe_[1]);
  }
  std::vector<std::string> Calls() {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  long Count(const std::string& member) {
    return std::ranges::count_if(Calls(), [&](auto& c) { return c.starts_with(member); });
  }

 private:
  static int Property(sd_bus*, const char*, const char*, const char* name, sd_bus_message* reply,
                      void* self, sd_bus_error*) {
    const Behaviour& b = static_cast<FakePortal*>(self)->behaviour_;
    return sd_bus_message_append(reply, "u", *name == 'v' ? b.version : b.cursorModes);
  }
  static int Handle(sd_bus_message* call, void* self, sd_bus_error*) {
    auto& fake = *static_cast<FakePortal*>(self);
    const std::string member = sd_bus_message_get_member(call);
    std::string line = member, handle, sender = sd_bus_message_get_sender(call) + 1;
    std::replace(sender.begin(), sender.end(), '.', '_');
    if (member != "CreateSession") sd_bus_message_skip(call, member == "Start" ? "os" : "o");
    sd_bus_message_enter_container(call, 'a', "{sv}");
    while (sd_bus_message_enter_container(call, 'e', "sv") > 0) {
      const char *key = nullptr, *contents = nullptr, *text = nullptr;
      std::uint32_t number = 0;
      sd_bus_message_read(call, "s", &key);
      sd_bus_message_peek_type(call, nullptr, &contents);
      sd_bus_message_read(call, "v", contents,
                          *contents == 's' ? static_cast<void*>(&text) : &number);
      sd_bus_message_exit_container(call);
      if (key == std::string("handle_token")) handle = text;
      if (!std::string(key).ends_with("handle_token"))
        line += std::string(" ") + key + "=" + (text ? text : std::to_string(number));
    }
    const std::lock_guard lock(fake.mutex_);
    fake.calls_.push_back(line);
    const Behaviour& b = fake.behaviour_;
    if (member == "OpenPipeWireRemote") return sd_bus_reply_method_return(call, "h", fake.pipe_[0]);
    if (member == "Close") return sd_bus_reply_method_return(call, "");
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + handle;
    sd_bus_reply_method_return(call, "o", path.c_str());
    if (member == b.silent) return 1;
    const std::uint32_t code = member == b.refusing ? b.refusal : 0;
    const char* request = "org.freedesktop.portal.Request";
    if (member != "Start") {
      return sd_bus_emit_signal(fake.bus_, path.c_str(), request, "Response", "ua{sv}", code,
                                member == "CreateSession" ? 1 : 0, "session_handle", "s",
                                kSessionPath);
    }
    if (b.oddStreams) {
      return sd_bus_emit_signal(fake.bus_, path.c_str(), request, "Response", "ua{sv}", code, 1,
                                "streams", "a(uu)", 1, 42, 1);
    }
    // An empty token stands for none: the session ignores it.
    return sd_bus_emit_signal(fake.bus_, path.c_str(), request, "Response", "ua{sv}", code, 2,
                              "streams", "a(ua{sv})", 1, 42, 1, "size", "(ii)", 1280, 720,
                              "restore_token", "s", b.token.c_str());
  }
  // We are gone by the time our Close arrives, so the sender's privileges cannot be looked up.
  static constexpr auto kAnyone = SD_BUS_VTABLE_UNPRIVILEGED;
  static constexpr sd_bus_vtable kScreenCast[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("version", "u", Property, 0, 0),
      SD_BUS_PROPERTY("AvailableCursorModes", "u", Property, 0, 0),
      SD_BUS_METHOD("CreateSession", "a{sv}", "o", Handle, kAnyone),
      SD_BUS_METHOD("SelectSources", "oa{sv}", "o", Handle, kAnyone),
      SD_BUS_METHOD("Start", "osa{sv}", "o", Handle, kAnyone),
      SD_BUS_METHOD("OpenPipeWireRemote", "oa{sv}", "h", Handle, kAnyone),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kSession[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Close", "", "", Handle, kAnyone), SD_BUS_VTABLE_END};

  const Behaviour behaviour_;
  sd_bus* bus_ = nullptr;
  int pipe_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class PortalScreenCastTest : public ::testing::Test {
 protected:
  std::unique_ptr<TPortalScreenCast> Cast(std::string busAddress, std::string token,
                                          std::chrono::milliseconds timeout = 10s) {
    return std::make_unique<TPortalScreenCast>(platform::wayland::TPortalScreenCastLinks{
        std::move(busAddress), std::move(token), [this](const std::string& t) { saved = t; },
        timeout, timeout, clock});
  }
  static TCastNode Settle(TPortalScreenCast& cast) {
    TCastNode node;
    WaitUntil([&] { return (node = cast.Node()).status != TCastStatus::Pending; });
    return node;
  }
  void SetUp() override {
    ASSERT_TRUE(WaitUntil([this] {
      std::ifstream in(busOutput.path());
      return std::getline(in, address) && !in.eof() && address.starts_with("unix:");
    }));
  }
  // A bus of the test's own, on which no real portal can answer.
  TempFile busOutput{"bus-address"};
  ChildProcess bus{
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"}, {}, busOutput.path()};
  std::string address;
  FakeClock clock;
  std::string saved;
};

TEST_F(PortalScreenCastTest, AsksInOrderHandsOutTheNodeAndKeepsTheLatestToken) {
  // Each row starts with the token the rows before saved.
  const struct {
    std::uint32_t version, cursorModes;
    std::string token, select;
    bool embedded;
  } rows[] = {
      {4, 7, "t1", "types=1 multiple=0 cursor_mode=2 persist_mode=2", true},
      {5, 5, "t2", "types=1 multiple=0 cursor_mode=4 persist_mode=2 restore_token=t1", false},
      {3, 1, "", "types=1 multiple=0 cursor_mode=1", false},
      {1, 7, "", "types=1 multiple=0", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.select);
    FakePortal portal(address, {row.version, row.cursorModes, row.token, "", "", 0, false});
    const auto cast = Cast(address, saved);
    const TCastNode node = Settle(*cast);
    ASSERT_EQ(node.status, TCastStatus::Ok) << node.error;
    EXPECT_EQ(portal.Calls(),
              (std::vector<std::string>{"CreateSession", "SelectSources " + row.select, "Start",
                                        "OpenPipeWireRemote"}));
    EXPECT_EQ(saved, row.version >= 4 ? row.token : "t2");
    EXPECT_EQ(std::make_tuple(node.node, node.width, node.height, node.cursorEmbedded),
              std::make_tuple(42u, 1280, 720, row.embedded));
    char text[3] = {};
    EXPECT_TRUE(read(node.remoteFd, text, 2) == 2 && text == std::string("ok"));
    close(node.remoteFd);
    cast->Renew();
    EXPECT_TRUE(WaitUntil([&] { return portal.Count("Close") == 1; }));
  }
}

TEST_F(PortalScreenCastTest, ARefusalWaitsForRenewWhileAFailureStartsOverAfterASecond) {
  const struct {
    Behaviour behaviour;
    TCastStatus status;
    std::string error;
  } rows[] = {
      {{4, 7, "", "", "Start", 1, false}, TCastStatus::Refused, "the user declined to share"},
      {{4, 7, "", "", "SelectSources", 2, false}, TCastStatus::Refused, "ended SelectSources"},
      {{4, 7, "", "Start", "", 0, false}, TCastStatus::Refused, "nobody answered the prompt"},
      {{4, 7, "", "SelectSources", "", 0, false}, TCastStatus::Failed, "got no answer"},
      {{4, 7, "", "", "", 0, true}, TCastStatus::Failed, "Start answer is of the wrong shape"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    FakePortal portal(address, row.behaviour);
    const auto cast = Cast(address, "", 300ms);
    const TCastNode node = Settle(*cast);
    EXPECT_EQ(node.status, row.status);
    EXPECT_NE(node.error.find(row.error), std::string::npos) << node.error;
    EXPECT_TRUE(WaitUntil([&] { return portal.Count("Close") == 1; }));
    EXPECT_EQ(cast->Node().status, row.status);
    clock.tick += 1000;
    const bool failed = row.status == TCastStatus::Failed;
    EXPECT_EQ(cast->Node().status, failed ? TCastStatus::Pending : row.status);
    cast->Renew();
    EXPECT_EQ(cast->Node().status, TCastStatus::Pending);
    EXPECT_TRUE(WaitUntil([&] { return portal.Count("CreateSession") >= 2; }));
  }
}

TEST_F(PortalScreenCastTest, WithoutAPortalTheAnswerIsNo) {
  const TCastNode node = Settle(*Cast(address, ""));
  EXPECT_EQ(node.status, TCastStatus::Refused);
  EXPECT_TRUE(node.error.starts_with("no screen-cast portal on the session bus")) << node.error;
}

TEST_F(PortalScreenCastTest, EndsPromptlyWhileThePromptHangs) {
  FakePortal portal(address, {4, 7, "", "Start", "", 0, false});
  auto cast = Cast(address, "", 5min);
  EXPECT_EQ(cast->Node().status, TCastStatus::Pending);
  ASSERT_TRUE(WaitUntil([&] { return portal.Count("Start") == 1; }));
  const auto before = std::chrono::steady_clock::now();
  cast.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  EXPECT_TRUE(WaitUntil([&] { return portal.Count("Close") == 1; }));
}

}  // namespace
