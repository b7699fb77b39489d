// The processes running on this machine, as far as this user may see them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform {

struct TRunningProcess {
  std::string fileName;  // the executable's file name, no folder
  uid_t realUser;        // who started it; (uid_t)-1 when that could not be read
};

// Every running process this user can see.
std::vector<TRunningProcess> RunningProcesses();

// The real user of this process.
uid_t RealUser();

}  // namespace platform
