// The process's service: created on first use, gone for good with FreeRtspService.
#include <gtest/gtest.h>

#include "rtsp/RtspService.h"

namespace {

TEST(RtspServiceInstanceTest, FreeingLetsTheNextUseStartAfresh) {
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

}  // namespace
