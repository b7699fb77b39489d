// The machine's own network addresses, for telling the user where the service can be reached.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The IPv4 addresses of the interfaces that are up, loopback included, in dotted decimal, each
// once, in the system's order. Empty when the system cannot tell.
std::vector<std::string> LocalIpv4Addresses();

}  // namespace platform
