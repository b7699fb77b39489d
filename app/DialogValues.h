// What the tray's dialogs make of their input and of SConfig.ini, kept apart from the windows so
// the rules hold whatever toolkit draws them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/IniFile.h"

// The port a user typed: surrounding blanks ignored, decimal or hexadecimal ("0x", "$"); anything
// that is not a 32-bit integer gives the standard port 6554. No range check: the listener reports
// a port it cannot use.
int32_t ParsePortEntry(std::string_view text);

// A key of the System section of the settings file, for the About box. Missing, empty or not
// valid UTF-8 gives the fallback.
std::string ReadAboutValue(const TIniFile& config, std::string_view key, std::string_view fallback);
// With EnableEmptyInfo set, the maker's lines show only what the settings file holds.
std::string EmptyInfoDefault(bool emptyInfoEnabled, std::string_view text);
