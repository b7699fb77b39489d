#include "platform/HostName.h"

#include <unistd.h>

#include <array>

namespace platform {

std::string HostName() {
  std::array<char, 256> name{};
  // A name longer than the buffer may come back without its terminator; the last byte stays 0.
  if (::gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

}  // namespace platform
