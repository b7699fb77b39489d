#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "platform/LocalAddresses.h"
#include "platform/NetworkInterfaces.h"

namespace {

TEST(NetworkInterfaces, ListLoopbackWithItsPrefixAndFindItByAddress) {
  const auto interfaces = platform::NetworkInterfaces();
  const auto loopback = std::find_if(interfaces.begin(), interfaces.end(),
                                     [](const auto& entry) { return entry.ipv4 == "127.0.0.1"; });
  ASSERT_NE(loopback, interfaces.end());
  EXPECT_TRUE(loopback->loopback);
  EXPECT_EQ(loopback->prefixLength, 8);
  EXPECT_EQ(loopback->mac, "");
  EXPECT_NE(loopback->index, 0u);

  const auto found = platform::InterfaceWithAddress("127.0.0.1");
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->name, loopback->name);
  EXPECT_FALSE(platform::InterfaceWithAddress("0.0.0.0").has_value());  // no interface holds it

  const auto addresses = platform::LocalIpv4Addresses();
  EXPECT_EQ(addresses.size(), std::set<std::string>(addresses.begin(), addresses.end()).size());
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
}

}  // namespace
