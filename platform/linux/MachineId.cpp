#include "platform/MachineId.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace platform {

std::string MachineId() {
  // systemd's file first; D-Bus keeps the same id where systemd does not run.
  for (const char* path : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
    std::ifstream file(path);
    std::string id;
    if (!(file >> id)) continue;
    const bool hex = id.size() == 32 && std::all_of(id.begin(), id.end(), [](unsigned char c) {
                       return std::isxdigit(c) != 0;
                     });
    if (hex) return id;
  }
  return {};
}

}  // namespace platform
