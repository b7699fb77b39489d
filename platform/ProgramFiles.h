// Where the program's own files go: its settings, its log and the language files it completes.
//
// A program folder the user may write to keeps everything beside the program, as an unpacked copy
// always has. An installed program (a folder the user may not write to) keeps them in the user's
// folders as the XDG base directories name them. The choice is a pure function of plain facts, so
// every case can be tried without touching the machine; the process reads its facts once at start.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace platform {

// What the choice depends on, as read from the process (ReadProgramFileFacts) or made up by a test.
struct TProgramFileFacts {
  std::filesystem::path programPath;  // the program's own file; empty when unknown
  bool folderWritable = true;         // the program's folder may be written by this user
  std::string home;                   // $HOME, else the user database's home; empty when neither
  bool homeFromUserDatabase = false;  // HOME was not set; home came from the user database
  std::string xdgConfigHome;          // the variables as set; empty when unset
  std::string xdgStateHome;
  std::string xdgDataHome;
  std::filesystem::path configOption;  // --config FILE; empty when not given
  std::filesystem::path systemConfig = "/etc/vistrel/SConfig.ini";
};

struct TProgramFiles {
  std::filesystem::path programFolder;        // the program, its encoder library, the shipped files
  std::filesystem::path configFile;           // SConfig.ini
  bool configNamed = false;  // configFile was named on the command line; a restart must name it too
  std::filesystem::path logFile;              // "<program>.log"; its backups lie beside it
  std::filesystem::path languagesFolder;      // the shipped language files
  std::filesystem::path userLanguagesFolder;  // where completed language files go; may be the same
  // Copied to configFile on a start that finds no configFile; empty when nothing is copied.
  std::filesystem::path firstConfig;
  std::vector<std::string> notes;  // worth a log line at start (a fallback taken)
  std::string error;               // set when no usable place exists; the program cannot start

  bool operator==(const TProgramFiles&) const = default;
};

TProgramFiles DecideProgramFiles(const TProgramFileFacts& facts);

// This process's facts: its program path, whether its folder is writable, the environment and, when
// HOME is missing, the user database. configOption is made absolute against the working folder.
TProgramFileFacts ReadProgramFileFacts(const std::filesystem::path& configOption);

// Creates the folders the files go into and copies firstConfig when configFile does not exist yet
// (an existing file is never replaced). Returns a line for each thing that failed; the program
// goes on with what it has (a missing settings file means the defaults).
std::vector<std::string> PrepareProgramFiles(const TProgramFiles& files);

// The process's decision. The first call of UseProgramFiles fixes it (main, before anything reads
// a file); without one, the first ProgramFiles() decides from the process's facts and no options.
void UseProgramFiles(TProgramFiles files);
const TProgramFiles& ProgramFiles();

}  // namespace platform
