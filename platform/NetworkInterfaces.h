// The machine's IPv4 network interfaces as the services see them: which address a client reached,
// which interface that is, and which interfaces a multicast group can be joined on.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct TNetworkInterface {
  std::string name;      // "eth0"; an alias label such as "eth0:1" as the system gives it
  std::string ipv4;      // dotted decimal
  int prefixLength = 0;  // of the netmask: 24 for 255.255.255.0
  std::string mac;       // "aa:bb:cc:dd:ee:ff"; empty for loopback and interfaces without one
  unsigned index = 0;    // the system's interface index; 0 when unknown
  bool loopback = false;
  bool multicast = false;  // the interface can join multicast groups
};

// One entry per IPv4 address of each interface that is up, loopback included, in the system's
// order. Empty when the system cannot tell.
std::vector<TNetworkInterface> NetworkInterfaces();
// The interface that is up and holds this IPv4 address; nothing when none does.
std::optional<TNetworkInterface> InterfaceWithAddress(const std::string& ipv4);

}  // namespace platform
