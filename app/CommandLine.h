// The program's command line: `vistrel [--config FILE] | --version | --help`. Nothing else is
// accepted, so a mistyped option is told rather than ignored, and nothing reaches Qt, which would
// take some words (-platform, -style...) as its own.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

enum class TCommandAction { Run, Version, Help, Refuse };

struct TCommandLine {
  TCommandAction action = TCommandAction::Run;
  std::filesystem::path configFile;  // --config FILE; empty when not given
  std::string error;                 // why the line was refused

  bool operator==(const TCommandLine&) const = default;
};

// The words after the program's name.
TCommandLine ParseCommandLine(const std::vector<std::string_view>& words);
TCommandLine ParseCommandLine(int argc, const char* const* argv);

std::string UsageText(std::string_view programName);
// CMake's project version: the one place it is set.
std::string ProgramVersion();
// "Vistrel <version>".
std::string VersionText();

// Prints what the line asks for and returns the exit code when the program ends here (version,
// help: 0 on out; a refused line: the error and the usage on err, 2); nothing when it runs.
std::optional<int> AnswerCommandLine(const TCommandLine& line, std::string_view programName,
                                     std::ostream& out, std::ostream& err);
