#include "platform/ProgramFiles.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "platform/ProgramFolder.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool FolderWritable(const fs::path& folder) {
  struct statvfs volume {};
  if (::statvfs(folder.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0) return false;
  if (::access(folder.c_str(), W_OK) != 0) return false;
  if (::geteuid() != 0) return true;
  // The superuser passes every access check; a folder whose owner has no write permission (an
  // installation, or a copy made read-only on purpose) still means "not here".
  struct stat status {};
  return ::stat(folder.c_str(), &status) == 0 && (status.st_mode & S_IWUSR) != 0;
}

std::string UserDatabaseHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return {};
  }
  return found->pw_dir;
}

}  // namespace

TProgramFileFacts ReadProgramFileFacts(const fs::path& configOption) {
  TProgramFileFacts facts;
  facts.programPath = ProgramPath();
  // Without /proc the program's folder is unknown; the working folder stands in, as it always has.
  const fs::path folder =
      facts.programPath.empty() ? fs::path(".") : facts.programPath.parent_path();
  facts.folderWritable = FolderWritable(folder);
  facts.home = Variable("HOME");
  if (facts.home.empty()) {
    facts.home = UserDatabaseHome();
    facts.homeFromUserDatabase = !facts.home.empty();
  }
  facts.xdgConfigHome = Variable("XDG_CONFIG_HOME");
  facts.xdgStateHome = Variable("XDG_STATE_HOME");
  facts.xdgDataHome = Variable("XDG_DATA_HOME");
  if (!configOption.empty()) {
    std::error_code error;
    facts.configOption = fs::absolute(configOption, error);
    if (error) facts.configOption = configOption;
  }
  return facts;
}

std::vector<std::string> PrepareProgramFiles(const TProgramFiles& files) {
  std::vector<std::string> failures;
  for (const fs::path& folder : {files.configFile.parent_path(), files.logFile.parent_path()}) {
    std::error_code error;
    if (!folder.empty() && !fs::is_directory(folder, error)) {
      fs::create_directories(folder, error);
      if (error) {
        failures.push_back("creating folder " + folder.string() + " failed: " + error.message());
      }
    }
  }
  std::error_code error;
  if (files.firstConfig.empty() || fs::exists(files.configFile, error) ||
      !fs::exists(files.firstConfig, error)) {
    return failures;
  }
  // copy_options::none refuses to replace a file that appeared in the meantime.
  if (!fs::copy_file(files.firstConfig, files.configFile, fs::copy_options::none, error)) {
    failures.push_back("copying " + files.firstConfig.string() + " to " +
                       files.configFile.string() + " failed: " + error.message() +
                       "; the default settings are used");
  }
  return failures;
}

}  // namespace platform
