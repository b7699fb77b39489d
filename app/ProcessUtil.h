#pragma once

#include <sys/types.h>

#include <string>

// How many running processes of this real user were started from an executable with this file name
// (the folder part of fileName is ignored; blanks trimmed, letter case ignored). The running
// program counts itself. Other users' copies do not count: each user of a shared machine runs one.
int CountProcessesByName(const std::string& fileName, uid_t realUser);
