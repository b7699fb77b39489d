// The name this machine goes by on the network, for naming what the program sends.
#pragma once

#include <string>

namespace platform {

// Empty when the system does not tell.
std::string HostName();

}  // namespace platform
