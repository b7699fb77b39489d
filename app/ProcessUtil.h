#pragma once

#include <string>

// How many running processes were started from an executable with this file name (the folder part
// of fileName is ignored; blanks trimmed, letter case ignored). The running program counts itself.
int CountProcessesByName(const std::string& fileName);
