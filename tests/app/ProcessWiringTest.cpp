// The process's objects made from the settings: created on first use, gone for good when freed.
#include "app/ProcessWiring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "config/Settings.h"
#include "platform/UdpSocket.h"
#include "rtsp/RtspService.h"
#include "stream/RtspUdpServer.h"
#include "tests/support/FreeLoopbackPort.h"

namespace {

using platform::TUdpSocket;

TEST(ProcessWiring, RtspServiceFreedLetsTheNextUseStartAfresh) {
  FreeRtspService();
  TRTSPService& first = RtspService();
  EXPECT_EQ(&RtspService(), &first);
  first.SetPort(6554);
  FreeRtspService();

  TRTSPService& second = RtspService();
  EXPECT_EQ(second.Port(), TRTSPService::kInitialPort);
  EXPECT_FALSE(second.IsActive());
  FreeRtspService();
  FreeRtspService();  // nothing left to free
}

TEST(ProcessWiring, UdpServerKeepsItsPortsUntilFreed) {
  const int firstPort = FreeUdpPortPair();
  Settings().SetRtspPort(firstPort);
  std::vector<TRTSPUDPServer*> seen(4);
  {
    std::vector<std::jthread> users;
    for (auto& server : seen) users.emplace_back([&server] { server = &RtspUdpServer(); });
  }
  EXPECT_EQ(seen, std::vector<TRTSPUDPServer*>(4, &RtspUdpServer()));
  ASSERT_TRUE(RtspUdpServer().Activate());
  EXPECT_EQ(RtspUdpServer().RtpPort(), firstPort);

  const int secondPort = FreeUdpPortPair();
  Settings().SetRtspPort(secondPort);
  EXPECT_EQ(RtspUdpServer().RtpPort(), firstPort) << "a port change waits for a new instance";
  FreeRtspUdpServer();
  EXPECT_TRUE(TUdpSocket(static_cast<std::uint16_t>(firstPort), nullptr).Open())
      << "freeing left the port bound";
  EXPECT_EQ(RtspUdpServer().RtpPort(), secondPort);
  FreeRtspUdpServer();
  FreeRtspUdpServer();  // nothing left to free
}

}  // namespace
