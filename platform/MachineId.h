// What tells this machine apart from others for good, for names that must survive restarts.
#pragma once

#include <string>

namespace platform {

// The system's machine id (32 hex digits) when it has one; empty otherwise.
std::string MachineId();

}  // namespace platform
