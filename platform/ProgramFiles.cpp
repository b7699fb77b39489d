#include "platform/ProgramFiles.h"

#include <utility>

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFolderName = "vistrel";

// "<program>.log", named after the program file as an unpacked copy's log always was.
fs::path LogName(const fs::path& programPath) {
  fs::path name = programPath.filename();
  if (name.empty()) name = kFolderName;
  return name.replace_extension(".log");
}

// One XDG base folder: the variable when it holds an absolute path, else home followed by the
// usual place. Empty when neither is known.
class TBaseFolders {
 public:
  TBaseFolders(const TProgramFileFacts& facts, TProgramFiles& files)
      : facts_(facts), files_(files) {}

  fs::path Folder(const char* variable, const std::string& value, const char* underHome) {
    if (!value.empty()) {
      if (fs::path(value).is_absolute()) return fs::path(value) / kFolderName;
      // The XDG rules say a relative path is to be ignored: it would depend on the working folder.
      files_.notes.push_back(std::string(variable) + "=" + value +
                             " is not an absolute path; it is ignored");
    }
    if (facts_.home.empty()) return {};
    if (facts_.homeFromUserDatabase && !homeNoted_) {
      homeNoted_ = true;
      files_.notes.push_back("HOME is not set; the home folder " + facts_.home +
                             " from the user database is used");
    }
    return fs::path(facts_.home) / underHome / kFolderName;
  }

 private:
  const TProgramFileFacts& facts_;
  TProgramFiles& files_;
  bool homeNoted_ = false;
};

}  // namespace

TProgramFiles DecideProgramFiles(const TProgramFileFacts& facts) {
  TProgramFiles files;
  files.programFolder = facts.programPath.parent_path();
  files.languagesFolder = files.programFolder / "languages";
  files.userLanguagesFolder = files.languagesFolder;
  const fs::path logName = LogName(facts.programPath);
  if (!facts.configOption.empty()) {
    files.configFile = facts.configOption;
    files.configNamed = true;
    files.logFile = facts.configOption.parent_path() / logName;
  }
  if (facts.folderWritable) {
    if (files.configFile.empty()) {
      files.configFile = files.programFolder / "SConfig.ini";
      files.logFile = files.programFolder / logName;
    }
    return files;
  }

  TBaseFolders bases(facts, files);
  if (files.configFile.empty()) {
    const fs::path config = bases.Folder("XDG_CONFIG_HOME", facts.xdgConfigHome, ".config");
    const fs::path state = bases.Folder("XDG_STATE_HOME", facts.xdgStateHome, ".local/state");
    if (config.empty() || state.empty()) {
      files.error = "the program folder " + files.programFolder.string() +
                    " is not writable, and neither HOME nor XDG_CONFIG_HOME and XDG_STATE_HOME "
                    "name a folder for the settings and the log; start with --config FILE";
      return files;
    }
    files.configFile = config / "SConfig.ini";
    files.logFile = state / logName;
    files.firstConfig = facts.systemConfig;
  }
  const fs::path data = bases.Folder("XDG_DATA_HOME", facts.xdgDataHome, ".local/share");
  if (data.empty()) {
    files.notes.push_back(
        "no folder for completed language files (HOME and XDG_DATA_HOME are not set); the "
        "shipped ones stay as they are");
  } else {
    files.userLanguagesFolder = data / "languages";
  }
  return files;
}

namespace {

TProgramFiles*& Chosen() {
  static TProgramFiles* chosen = nullptr;
  return chosen;
}

}  // namespace

void UseProgramFiles(TProgramFiles files) {
  // Never destroyed: threads still logging during process exit read the log's path.
  if (Chosen() == nullptr) Chosen() = new TProgramFiles(std::move(files));
}

const TProgramFiles& ProgramFiles() {
  if (Chosen() == nullptr) UseProgramFiles(DecideProgramFiles(ReadProgramFileFacts({})));
  return *Chosen();
}

}  // namespace platform
