// The client side of TCP: a connection this process opens to a server, for instance the media
// server it publishes to. What comes back is an ordinary TTcpConnection.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/TcpConnection.h"

namespace platform {

// Connects to host (a name is looked up; IPv4 addresses only, as the listener serves) and port,
// trying each address in turn until one answers, all within `timeout` (the name lookup itself
// waits as long as the system's resolver does). Nothing, with a reason for the log in `error`,
// when none answers.
std::unique_ptr<TTcpConnection> ConnectTcp(const std::string& host, std::uint16_t port,
                                           std::chrono::milliseconds timeout, std::string& error,
                                           TTcpLimits limits = {});

}  // namespace platform
