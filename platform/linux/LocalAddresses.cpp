#include "platform/LocalAddresses.h"

#include <algorithm>
#include <utility>

#include "platform/NetworkInterfaces.h"

namespace platform {

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> addresses;
  for (TNetworkInterface& entry : NetworkInterfaces()) {
    if (std::find(addresses.begin(), addresses.end(), entry.ipv4) == addresses.end())
      addresses.push_back(std::move(entry.ipv4));
  }
  return addresses;
}

}  // namespace platform
