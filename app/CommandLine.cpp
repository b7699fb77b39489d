#include "CommandLine.h"

#include <cstddef>
#include <utility>

namespace {

constexpr std::string_view kConfigOption = "--config";

TCommandLine Refused(std::string error) {
  return {TCommandAction::Refuse, {}, std::move(error)};
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string_view>& words) {
  TCommandLine line;
  bool help = false;
  bool version = false;
  bool configGiven = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string_view word = words[i];
    if (word == "--help" || word == "-h") {
      help = true;
    } else if (word == "--version") {
      version = true;
    } else if (word == kConfigOption || word.starts_with("--config=")) {
      std::string_view file;
      if (word == kConfigOption) {
        if (i + 1 == words.size()) return Refused("--config needs a file");
        file = words[++i];
      } else {
        file = word.substr(kConfigOption.size() + 1);
      }
      if (file.empty()) return Refused("--config needs a file");
      if (configGiven) return Refused("--config given twice");
      configGiven = true;
      line.configFile = std::filesystem::path(file);
    } else {
      return Refused("unknown argument \"" + std::string(word) + "\"");
    }
  }
  if (help) {
    line.action = TCommandAction::Help;
  } else if (version) {
    line.action = TCommandAction::Version;
  }
  return line;
}

TCommandLine ParseCommandLine(int argc, const char* const* argv) {
  std::vector<std::string_view> words;
  for (int i = 1; i < argc; ++i) words.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return ParseCommandLine(words);
}

std::string UsageText(std::string_view programName) {
  const std::string name(programName.empty() ? "vistrel" : programName);
  return "Usage: " + name + " [--config FILE]\n       " + name +
         " --version | --help\n"
         "Serves the desktop as an RTSP camera, with a tray icon.\n"
         "  --config FILE  the settings file to use; the log is written beside it\n"
         "  --version      print the version and end\n"
         "  --help, -h     print this text and end\n";
}

std::string ProgramVersion() {
  return VISTREL_VERSION;
}

std::string VersionText() {
  return "Vistrel " + ProgramVersion();
}

std::optional<int> AnswerCommandLine(const TCommandLine& line, std::string_view programName,
                                     std::ostream& out, std::ostream& err) {
  switch (line.action) {
    case TCommandAction::Run:
      return std::nullopt;
    case TCommandAction::Version:
      out << VersionText() << '\n';
      return 0;
    case TCommandAction::Help:
      out << UsageText(programName);
      return 0;
    case TCommandAction::Refuse:
      break;
  }
  err << programName << ": " << line.error << '\n' << UsageText(programName);
  return 2;
}
