// The processes running on this machine, as far as this user may see them.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The executable file name (no folder) of every running process this user can see.
std::vector<std::string> RunningProcessFileNames();

}  // namespace platform
