// The program's command line, as any caller (a desktop file, a unit file, a typing user) may give
// it. The input is the words, split at zero bytes.
//
// A line is refused exactly when it carries an error; a line that runs names a settings file only
// when one of its words gave it; every answer is an exit code of 0 or 2, or none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "app/CommandLine.h"
#include "fuzz/FuzzCheck.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> words;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\0', start), input.size());
    words.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  const TCommandLine line = ParseCommandLine(words);
  Check((line.action == TCommandAction::Refuse) == !line.error.empty(), "refused without a reason");
  if (!line.configFile.empty()) {
    bool named = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
      named = named ||
              (words[i] == "--config" && i + 1 < words.size() &&
               words[i + 1] == line.configFile.native()) ||
              words[i] == "--config=" + line.configFile.native();
    }
    Check(named, "a settings file no word gave");
  }
  std::ostringstream out, err;
  const std::optional<int> code = AnswerCommandLine(line, "vistrel", out, err);
  Check(!code || *code == 0 || *code == 2, "an exit code other than 0 or 2");
  Check(code.has_value() == (line.action != TCommandAction::Run), "ran when it should end");
  return 0;
}
