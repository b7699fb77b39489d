// SConfig.ini and language files as a user or another program may have left them: lookups, the
// settings table read over them, a one-entry write, the erasure of a section, and the same write
// through the file on disk.
//
// The input's first bytes choose the names, the value and the number to write; the rest is the
// file's text.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "config/IniFile.h"
#include "config/Settings.h"
#include "platform/DurableFile.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "ini_file_fuzz: %s\n", what.c_str());
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// Names the program itself reads and writes, so that inputs built on real files hit them.
constexpr std::string_view kSections[] = {"System",     "RTSP",   "resinfo",
                                          "appearance", "Dialog", "Global"};
constexpr std::string_view kKeys[] = {"fps",      "EncodeType", "Port",     "EnableUDP",
                                      "language", "encode",     "codepage", "FontSize"};

// A name from the list, or one made of the input.
template <std::size_t N>
std::string PickName(FuzzedDataProvider& input, const std::string_view (&names)[N], bool& plain) {
  const std::size_t choice = input.ConsumeIntegralInRange<std::size_t>(0, N);
  plain = choice < N;
  return plain ? std::string(names[choice]) : input.ConsumeRandomLengthString(16);
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

// A second reading of an integer value by the standard library: decimal with at most one sign, or
// hexadecimal after "0x", "0X" or "$", within 32 bits.
std::optional<int32_t> ReferenceInteger(std::string_view value) {
  int base = 10;
  bool negative = false;
  if (value.starts_with('$')) {
    value.remove_prefix(1);
    base = 16;
  } else if (value.starts_with("0x") || value.starts_with("0X")) {
    value.remove_prefix(2);
    base = 16;
  } else if (value.starts_with('+') || value.starts_with('-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;
  // from_chars takes a sign of its own, which must not pass as a digit here.
  for (const char c : value) {
    const bool digit = (c >= '0' && c <= '9') ||
                       (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return std::nullopt;
  }
  const std::string digits = (negative ? "-" : "") + std::string(value);
  int32_t number = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), number, base);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

void CheckLookups(const TIniText& text, std::string_view section, std::string_view key) {
  const std::optional<std::string> value = text.FindValue(section, key);
  constexpr std::string_view kAbsent = "\001absent";
  Check(text.ReadString(section, key, kAbsent) == value.value_or(std::string(kAbsent)),
        "ReadString differs from FindValue");
  if (value) Check(ParseIniInteger(*value) == ReferenceInteger(*value), "integer misread");
  const std::optional<int32_t> number = value ? ParseIniInteger(*value) : std::nullopt;
  Check(text.ReadInteger(section, key, -77) == number.value_or(-77), "ReadInteger misread");
  Check(text.ReadBool(section, key, true) == (number.value_or(1) != 0), "ReadBool misread");
}

void ReadEverySetting(const TIniText& text) {
  for (int id = 0; id <= static_cast<int>(TSettingId::EnableAudio); ++id) {
    const auto setting = static_cast<TSettingId>(id);
    switch (SettingKey(setting).type) {
      case TSettingType::Integer:
        ReadIntegerSetting(text, setting);
        break;
      case TSettingType::Boolean:
        ReadBoolSetting(text, setting);
        break;
      case TSettingType::String:
        ReadStringSetting(text, setting);
        break;
    }
  }
  const int32_t fps = ReadIntegerSetting(text, TSettingId::Fps);
  Check(fps >= 1 && fps <= 30, "fps outside the range the check keeps it in");
}

// The names the text holds, compared without regard to case.
bool SameNames(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](const auto& x, const auto& y) { return SameName(x, y); });
}

void CheckWrite(const TIniText& before, const std::string& section, const std::string& key,
                const std::string& value, bool plainNames,
                const std::vector<std::pair<std::string, std::string>>& probes) {
  TIniText after = before;
  const bool written = after.WriteString(section, key, value);
  if (!written) {
    Check(after.Text() == before.Text(), "a refused write changed the text");
    Check(!plainNames || value.find_first_of("\r\n") != std::string::npos,
          "a plain entry was refused");
    return;
  }
  Check(after.FindValue(section, key) == value, "the written value does not read back");
  for (const auto& [otherSection, otherKey] : probes) {
    if (SameName(otherSection, section) && SameName(otherKey, key)) continue;
    Check(after.FindValue(otherSection, otherKey) == before.FindValue(otherSection, otherKey),
          "a write changed another entry");
  }
  const std::vector<std::string> namesBefore = before.SectionNames();
  std::vector<std::string> namesAfter = after.SectionNames();
  const bool sectionAdded = std::none_of(namesBefore.begin(), namesBefore.end(),
                                         [&](const auto& name) { return SameName(name, section); });
  if (sectionAdded) {
    Check(!namesAfter.empty() && namesAfter.back() == section, "the new section is not last");
    namesAfter.pop_back();
  }
  Check(SameNames(namesBefore, namesAfter), "a write changed the sections");
}

void CheckErase(const TIniText& before, const std::string& section,
                const std::vector<std::pair<std::string, std::string>>& probes) {
  TIniText after = before;
  after.EraseSection(section);
  const std::vector<std::string> namesAfter = after.SectionNames();
  Check(std::none_of(namesAfter.begin(), namesAfter.end(),
                     [&](const auto& name) { return SameName(name, section); }),
        "an erased section is still there");
  for (const auto& [otherSection, otherKey] : probes) {
    const std::optional<std::string> value = after.FindValue(otherSection, otherKey);
    if (SameName(otherSection, section)) {
      Check(!value, "an erased section still has entries");
    } else {
      Check(value == before.FindValue(otherSection, otherKey), "erasing changed another section");
    }
  }
}

// The same write through the file on disk must leave exactly the text the in-memory write made.
void CheckFileWrite(const TIniText& before, const std::string& section, const std::string& key,
                    const std::string& value) {
  static const fs::path folder = [] {
    const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    fs::path made = base / ("vistrel-ini-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(made);
    return made;
  }();
  // Registered after the path exists, so that it runs before the path is destroyed.
  static const bool cleanedAtExit = std::atexit([] {
                                      std::error_code ignored;
                                      fs::remove_all(folder, ignored);
                                    }) == 0;
  (void)cleanedAtExit;
  const fs::path path = folder / "SConfig.ini";
  if (!platform::ReplaceFileDurably(path, before.Text())) Fail("cannot write the test file");
  TIniText expected = before;
  const bool written = expected.WriteString(section, key, value);
  const TIniFile file(path);
  Check(file.WriteString(section, key, value) == written, "the file write and the text disagree");
  Check(file.Load().Text() == expected.Text(), "the file holds other bytes than the text");
  Check(file.ReadString(section, key, "\001") == expected.ReadString(section, key, "\001"),
        "the file reads back other than the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  bool plainSection = false;
  bool plainKey = false;
  bool plainProbe = false;
  const std::string section = PickName(input, kSections, plainSection);
  const std::string key = PickName(input, kKeys, plainKey);
  const std::string value = input.ConsumeRandomLengthString(48);
  const int32_t number = input.ConsumeIntegral<int32_t>();
  const std::string probeSection = PickName(input, kSections, plainProbe);
  const std::string probeKey = PickName(input, kKeys, plainProbe);
  const bool onDisk = input.ConsumeBool();
  const TIniText text(input.ConsumeRemainingBytesAsString());

  std::vector<std::pair<std::string, std::string>> probes = {
      {section, key}, {section, probeKey}, {probeSection, key}, {probeSection, probeKey}};
  for (const std::string& name : text.SectionNames()) {
    probes.emplace_back(name, key);
    probes.emplace_back(name, probeKey);
  }
  for (const auto& [probeS, probeK] : probes) CheckLookups(text, probeS, probeK);
  ReadEverySetting(text);

  CheckWrite(text, section, key, value, plainSection && plainKey, probes);
  CheckWrite(text, section, key, std::to_string(number), plainSection && plainKey, probes);
  TIniText numbered = text;
  if (numbered.WriteString(section, key, std::to_string(number)))
    Check(numbered.ReadInteger(section, key, number == 0 ? 1 : 0) == number, "number misread");
  CheckErase(text, probeSection, probes);
  if (onDisk) CheckFileWrite(text, section, key, value);
  return 0;
}
