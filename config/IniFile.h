// INI text as the settings and language files use it.
//
// Names of sections and keys match without regard to (ASCII) case, and the first matching entry
// wins, even when a section name appears twice. Lines whose first non-blank character is ";" are
// comments. A value is the text after the first "=", without surrounding blanks and without one
// pair of enclosing double or single quotes. Lines end with LF, CR LF or a lone CR, all alike.
//
// Writes change exactly one entry and keep every other byte of the text: the entry's line is
// replaced in place, or the entry is added after the last entry of its section, or a new section
// holding it is appended at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Integers are decimal with an optional sign, or hexadecimal after "0x", "0X" or "$". Anything
// else, including a value beyond the 32-bit range, is no integer.
std::optional<int32_t> ParseIniInteger(std::string_view value);

// An in-memory copy of INI text, e.g. a language file loaded once and then looked up many times.
class TIniText {
 public:
  TIniText() = default;
  explicit TIniText(std::string text) : text_(std::move(text)) {}

  const std::string& Text() const { return text_; }

  // The value of the first matching entry, or nothing when there is none.
  std::optional<std::string> FindValue(std::string_view section, std::string_view key) const;

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // Empty, missing, non-numeric or out-of-range values give the fallback.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  // Read as an integer: non-zero is true. Words such as "true" are not numbers and give fallback.
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // Sets one entry. False, with the text unchanged, when the names or the value cannot be stored
  // on one line so that they read back the same (line breaks, an empty or "="-holding key, a
  // section name holding "]", blanks around a name).
  bool WriteString(std::string_view section, std::string_view key, std::string_view value);

  // Section names in the order they appear, each once (the first spelling is kept).
  std::vector<std::string> SectionNames() const;

  // Removes every section of that name, with its header and all its lines.
  void EraseSection(std::string_view section);

 private:
  std::string text_;
};

// An INI file on disk. Every call opens the file, reads or writes, and closes it again; no handle
// is kept, so the user may edit the file between calls. A missing or unreadable file reads as
// empty. Writes replace the file as a whole through a sibling file, so a failed write (read-only
// folder, full disk) leaves the old file intact and returns false.
class TIniFile {
 public:
  explicit TIniFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& Path() const { return path_; }

  // The whole file, for looking up several values in one consistent copy.
  TIniText Load() const;

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  // Creates the file when it is missing. An existing file that cannot be read is not overwritten.
  bool WriteString(std::string_view section, std::string_view key, std::string_view value) const;
  // Written in decimal.
  bool WriteInteger(std::string_view section, std::string_view key, int32_t value) const;
  // Several entries in one replacement of the file: all of them or, on failure, none. ownerOnly
  // leaves the file readable by its owner alone (it holds a password).
  struct TEntry {
    std::string_view section;
    std::string_view key;
    std::string_view value;
  };
  bool WriteStrings(const std::vector<TEntry>& entries, bool ownerOnly = false) const;

  // Larger files are treated as unreadable rather than loaded into memory.
  static constexpr std::size_t kMaxFileBytes = 64u * 1024u * 1024u;

 private:
  std::filesystem::path path_;
};
