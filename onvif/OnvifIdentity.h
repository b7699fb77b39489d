// How the camera presents itself. Recorders remember a camera by its endpoint and serial, so both
// come from what stays the same across restarts: the machine and the user running the program.
#pragma once

#include <string>
#include <string_view>

#include "OnvifState.h"

// seed: text that tells this camera apart for good (the machine id and user); name: as shown;
// firmware: the program's version.
TOnvifIdentity MakeOnvifIdentity(std::string_view seed, std::string name, std::string firmware);
