// What the tray's dialogs make of their input and of SConfig.ini, kept apart from the windows so
// the rules hold whatever toolkit draws them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/IniFile.h"

struct TCameraAccess;

// The port a user typed: surrounding blanks ignored, decimal or hexadecimal ("0x", "$"); anything
// that is not a 32-bit integer gives the standard port 6554. No range check: the listener reports
// a port it cannot use.
int32_t ParsePortEntry(std::string_view text);

// A key of the System section of the settings file, for the About box. Missing, empty or not
// valid UTF-8 gives the fallback.
std::string ReadAboutValue(const TIniFile& config, std::string_view key, std::string_view fallback);
// With EnableEmptyInfo set, the maker's lines show only what the settings file holds.
std::string EmptyInfoDefault(bool emptyInfoEnabled, std::string_view text);

// Why Camera Access entries cannot be stored as they are.
enum class TCameraAccessProblem {
  None,
  LineBreak,        // the settings file keeps each value on one line
  BadBindAddress,   // neither empty nor a dotted IPv4 address
  PasswordMissing,  // a user without a password would let anyone in under that name
  UserMissing,      // a password nobody can give a name for
  OnvifNeedsUser,   // recorders cannot adopt an ONVIF camera that asks for no credentials
};

// Both user and password empty is fine: the camera then asks for none.
TCameraAccessProblem CheckCameraAccess(const TCameraAccess& access);
