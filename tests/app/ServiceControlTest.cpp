#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/ServiceControl.h"
#include "log/ServiceLog.h"
#include "stream/ByeAction.h"
#include "app/ProcessWiring.h"
#include "stream/LiveSession.h"

namespace {

std::string ProcessLogText() {
  std::ostringstream text;
  text << std::ifstream(GetServiceLog().LogPath(), std::ios::binary).rdbuf();
  return text.str();
}

TEST(ServiceControl, ByeActionEndsTheSessionOfThatClientOnly) {
  GetServiceLog().StartLog();
  const auto manager = LiveSessionManager();
  const auto lost = manager->GetOrCreateSession("127.0.0.1", 41000);
  const auto other = manager->GetOrCreateSession("127.0.0.1", 41002);
  ASSERT_TRUE(lost->StartStreaming());

  HandleByeAction(ByeActionInfo{"127.0.0.1", 41000});
  EXPECT_EQ(manager->FindSession("127.0.0.1", 41000), nullptr);
  EXPECT_FALSE(lost->Playing());
  EXPECT_EQ(manager->FindSession("127.0.0.1", 41002), other);
  EXPECT_NE(ProcessLogText().find("recv bye action, ip=127.0.0.1, port=41000"), std::string::npos);

  // Nobody has this port: nothing happens, nothing is logged.
  HandleByeAction(ByeActionInfo{"127.0.0.1", 41004});
  EXPECT_EQ(ProcessLogText().find("port=41004"), std::string::npos);
  FreeLiveSessionManager();
}

}  // namespace
