// Starting with the desktop: a desktop entry in the user's autostart folder, which every desktop
// following the XDG autostart rules (GNOME, Plasma, Xfce and the rest) runs at log-in.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The entry's place: $XDG_CONFIG_HOME/autostart/vistrel.desktop, else under $HOME/.config. Empty
// when neither variable says where the user's configuration lives.
std::filesystem::path AutostartEntryPath(std::string_view configHome, std::string_view home);

// The entry's text, starting the program with `command`: its path, then its arguments.
std::string AutostartEntry(const std::vector<std::string>& command);

// Whether the entry is there (and not switched off by the desktop's own settings, Hidden=true).
bool StartsWithDesktop(const std::filesystem::path& entry);

// Writes the entry, or removes it. On failure, returns false and says why in `error`.
bool SetStartWithDesktop(const std::filesystem::path& entry, const std::vector<std::string>& command,
                         bool on, std::string& error);

// The same for this user and this program, read from the environment; a failure is logged. A
// settings file named on the command line is named in the entry too.
bool ProgramStartsWithDesktop();
void SetProgramStartWithDesktop(bool on);
