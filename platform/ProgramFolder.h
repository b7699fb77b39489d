// Where the running program lives. Its settings, log, languages and the encoder library sit there.
#pragma once

#include <filesystem>

namespace platform {

// Full path of the running program's file.
std::filesystem::path ProgramPath();

// Folder of the running program, without a trailing separator.
std::filesystem::path ProgramFolder();

}  // namespace platform
