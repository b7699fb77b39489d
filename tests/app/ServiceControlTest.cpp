#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/ServiceControl.h"
#include "log/ServiceLog.h"
#include "tests/support/FakeRtpConnection.h"
#include "stream/ByeAction.h"
#include "app/ProcessWiring.h"
#include "stream/LiveSession.h"

namespace {

std::string ProcessLogText() {
  std::ostringstream text;
  text << std::ifstream(GetServiceLog().LogPath(), std::ios::binary).rdbuf();
  return text.str();
}

TEST(ServiceControl, ByeActionEndsTheSessionsOfThatConnectionOnly) {
  GetServiceLog().StartLog();
  const auto manager = LiveSessionManager();
  FakeRtpConnection lostConnection, otherConnection;
  // The other client's UDP port equals the lost one's: the port must not decide.
  const auto lost = manager->AddSession({"127.0.0.1", lostConnection.Id(), {}});
  lost->SetConnection(&lostConnection);
  const auto other = manager->AddSession({"127.0.0.1", otherConnection.Id(), {}});
  other->SetClientPort(41000);
  ASSERT_TRUE(lost->StartStreaming());

  HandleByeAction(ByeActionInfo{"127.0.0.1", 41000, lostConnection.Id()});
  EXPECT_EQ(manager->Sessions(), std::vector<std::shared_ptr<TBaseSession>>{other});
  EXPECT_FALSE(lost->Playing());
  EXPECT_NE(ProcessLogText().find("recv bye action, ip=127.0.0.1, port=41000"), std::string::npos);

  // No session bound to this connection: nothing happens, nothing is logged.
  HandleByeAction(ByeActionInfo{"127.0.0.1", 41004, otherConnection.Id()});
  EXPECT_EQ(ProcessLogText().find("port=41004"), std::string::npos);
  FreeLiveSessionManager();
}

}  // namespace
