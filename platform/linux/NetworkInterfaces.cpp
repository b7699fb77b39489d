#include "platform/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

namespace platform {
namespace {

// getifaddrs hands out sockaddr pointers of the family's real size; copying avoids reading a
// sockaddr_in through a pointer of another type.
template <typename Address>
Address Copied(const sockaddr* address) {
  Address copy{};
  std::memcpy(&copy, address, sizeof copy);
  return copy;
}

std::string MacText(const sockaddr_ll& link) {
  if (link.sll_halen != 6) return {};
  const auto* bytes = link.sll_addr;
  if (std::all_of(bytes, bytes + 6, [](unsigned char byte) { return byte == 0; })) return {};
  char text[18] = {};
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  return text;
}

// "eth0:1" is an address label on eth0; the link-layer entry and the index belong to "eth0".
std::string DeviceName(const std::string& name) {
  return name.substr(0, name.find(':'));
}

}  // namespace

std::vector<TNetworkInterface> NetworkInterfaces() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);

  std::map<std::string, sockaddr_ll> links;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_PACKET)
      links[entry->ifa_name] = Copied<sockaddr_ll>(entry->ifa_addr);
  }

  std::vector<TNetworkInterface> interfaces;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0) continue;
    const sockaddr_in address = Copied<sockaddr_in>(entry->ifa_addr);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) continue;

    TNetworkInterface& added = interfaces.emplace_back();
    added.name = entry->ifa_name;
    added.ipv4 = text;
    if (entry->ifa_netmask != nullptr) {
      const sockaddr_in mask = Copied<sockaddr_in>(entry->ifa_netmask);
      added.prefixLength = std::popcount(ntohl(mask.sin_addr.s_addr));
    }
    added.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    added.multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
    const std::string device = DeviceName(added.name);
    added.index = ::if_nametoindex(device.c_str());
    if (const auto link = links.find(device); link != links.end() && !added.loopback) {
      added.mac = MacText(link->second);
    }
  }
  return interfaces;
}

std::optional<TNetworkInterface> InterfaceWithAddress(const std::string& ipv4) {
  for (TNetworkInterface& candidate : NetworkInterfaces()) {
    if (candidate.ipv4 == ipv4) return std::move(candidate);
  }
  return std::nullopt;
}

}  // namespace platform
