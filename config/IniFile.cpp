#include "IniFile.h"

#include <set>

#include "platform/DurableFile.h"

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

bool IsQuoted(std::string_view text) {
  return text.size() >= 2 && IsQuote(text.front()) && text.front() == text.back();
}

std::string_view Unquote(std::string_view text) {
  return IsQuoted(text) ? text.substr(1, text.size() - 2) : text;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string LowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

struct TLine {
  std::size_t begin = 0;
  std::size_t contentEnd = 0;  // where the line break starts, or the end of the text
  std::size_t end = 0;         // past the line break
};

enum class TLineKind { Other, Section, Entry };

struct TParsedLine {
  TLineKind kind = TLineKind::Other;
  std::string_view name;   // section name or key
  std::string_view value;  // entries only: trimmed and unquoted
};

// Walks the text once; every caller is linear in the text's length, whatever it holds.
class TLineCursor {
 public:
  explicit TLineCursor(std::string_view text) : text_(text) {}

  bool Next(TLine& line) {
    if (position_ >= text_.size()) return false;
    line.begin = position_;
    const std::size_t lineBreak = text_.find_first_of("\r\n", position_);
    if (lineBreak == std::string_view::npos) {
      line.contentEnd = line.end = text_.size();
    } else {
      line.contentEnd = lineBreak;
      line.end = lineBreak + 1;
      if (text_[lineBreak] == '\r' && line.end < text_.size() && text_[line.end] == '\n') {
        ++line.end;
      }
    }
    position_ = line.end;
    return true;
  }

  TParsedLine Parse(const TLine& line) const {
    const std::string_view content = Trim(text_.substr(line.begin, line.contentEnd - line.begin));
    TParsedLine parsed;
    if (content.empty() || content.front() == ';') return parsed;
    if (content.front() == '[') {
      // A missing "]" is forgiven: the rest of the line is the name.
      const std::size_t close = content.find(']');
      parsed.kind = TLineKind::Section;
      parsed.name = Trim(content.substr(1, close == std::string_view::npos ? close : close - 1));
      return parsed;
    }
    const std::size_t equals = content.find('=');
    if (equals == std::string_view::npos) return parsed;
    parsed.name = Trim(content.substr(0, equals));
    if (parsed.name.empty()) return parsed;
    parsed.kind = TLineKind::Entry;
    parsed.value = Unquote(Trim(content.substr(equals + 1)));
    return parsed;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

std::string_view LineBreakOf(std::string_view text) {
  const std::size_t lineBreak = text.find_first_of("\r\n");
  if (lineBreak == std::string_view::npos) return "\n";
  if (text[lineBreak] == '\n') return "\n";
  return (lineBreak + 1 < text.size() && text[lineBreak + 1] == '\n') ? "\r\n" : "\r";
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool CanStoreSection(std::string_view section) {
  return !section.empty() && Trim(section) == section && !HasLineBreak(section) &&
         section.find(']') == std::string_view::npos;
}

bool CanStoreKey(std::string_view key) {
  return !key.empty() && Trim(key) == key && !HasLineBreak(key) && key.front() != ';' &&
         key.front() != '[' && key.find('=') == std::string_view::npos;
}

// Blanks around a value and a pair of enclosing quotes are dropped on reading; quoting such a
// value keeps it intact.
std::string EncodeValue(std::string_view value) {
  const bool needsQuotes = Trim(value) != value || IsQuoted(value);
  if (!needsQuotes) return std::string(value);
  return "\"" + std::string(value) + "\"";
}

std::optional<int32_t> ParseDigits(std::string_view digits, int base, bool negative) {
  if (digits.empty()) return std::nullopt;
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t value = 0;
  for (const char c : digits) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
    if (value > limit) return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

}  // namespace

std::optional<int32_t> ParseIniInteger(std::string_view value) {
  if (value.starts_with('$')) return ParseDigits(value.substr(1), 16, false);
  if (value.starts_with("0x") || value.starts_with("0X")) {
    return ParseDigits(value.substr(2), 16, false);
  }
  bool negative = false;
  if (value.starts_with('-') || value.starts_with('+')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  return ParseDigits(value, 10, negative);
}

std::optional<std::string> TIniText::FindValue(std::string_view section,
                                               std::string_view key) const {
  TLineCursor cursor(text_);
  bool inSection = false;
  TLine line;
  while (cursor.Next(line)) {
    const TParsedLine parsed = cursor.Parse(line);
    if (parsed.kind == TLineKind::Section) {
      inSection = SameName(parsed.name, section);
    } else if (inSection && parsed.kind == TLineKind::Entry && SameName(parsed.name, key)) {
      return std::string(parsed.value);
    }
  }
  return std::nullopt;
}

std::string TIniText::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
  std::optional<std::string> value = FindValue(section, key);
  return value ? std::move(*value) : std::string(fallback);
}

int32_t TIniText::ReadInteger(std::string_view section, std::string_view key,
                              int32_t fallback) const {
  const std::optional<std::string> value = FindValue(section, key);
  if (!value) return fallback;
  return ParseIniInteger(*value).value_or(fallback);
}

bool TIniText::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

bool TIniText::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  if (!CanStoreSection(section) || !CanStoreKey(key) || HasLineBreak(value)) return false;
  const std::string entry = std::string(key) + "=" + EncodeValue(value);

  TLineCursor cursor(text_);
  bool inSection = false;
  bool inFirstSection = false;
  bool firstSectionSeen = false;
  std::optional<TLine> insertAfter;  // last entry (or the header) of the first matching section
  TLine line;
  while (cursor.Next(line)) {
    const TParsedLine parsed = cursor.Parse(line);
    if (parsed.kind == TLineKind::Section) {
      inSection = SameName(parsed.name, section);
      inFirstSection = inSection && !firstSectionSeen;
      firstSectionSeen = firstSectionSeen || inSection;
      if (inFirstSection) insertAfter = line;
    } else if (inSection && parsed.kind == TLineKind::Entry) {
      if (SameName(parsed.name, key)) {
        text_.replace(line.begin, line.contentEnd - line.begin, entry);
        return true;
      }
      if (inFirstSection) insertAfter = line;
    }
  }

  const std::string lineBreak(LineBreakOf(text_));
  if (insertAfter) {
    if (insertAfter->contentEnd == insertAfter->end) {
      // The section ends the text without a final line break; the text still won't have one.
      text_.insert(insertAfter->end, lineBreak + entry);
    } else {
      text_.insert(insertAfter->end, entry + lineBreak);
    }
    return true;
  }
  const bool openLastLine = !text_.empty() && text_.back() != '\n' && text_.back() != '\r';
  const std::string block = "[" + std::string(section) + "]" + lineBreak + entry;
  text_ += openLastLine ? lineBreak + block : block + lineBreak;
  return true;
}

std::vector<std::string> TIniText::SectionNames() const {
  std::vector<std::string> names;
  std::set<std::string> seen;
  TLineCursor cursor(text_);
  TLine line;
  while (cursor.Next(line)) {
    const TParsedLine parsed = cursor.Parse(line);
    if (parsed.kind == TLineKind::Section && seen.insert(LowerName(parsed.name)).second) {
      names.emplace_back(parsed.name);
    }
  }
  return names;
}

void TIniText::EraseSection(std::string_view section) {
  std::string kept;
  TLineCursor cursor(text_);
  bool erasing = false;
  TLine line;
  while (cursor.Next(line)) {
    const TParsedLine parsed = cursor.Parse(line);
    if (parsed.kind == TLineKind::Section) erasing = SameName(parsed.name, section);
    if (!erasing) kept.append(text_, line.begin, line.end - line.begin);
  }
  text_ = std::move(kept);
}

TIniText TIniFile::Load() const {
  platform::TFileContents file = platform::ReadWholeFile(path_, kMaxFileBytes);
  if (file.status != platform::TFileReadStatus::Read) return TIniText();
  return TIniText(std::move(file.contents));
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const {
  return Load().ReadString(section, key, fallback);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                              int32_t fallback) const {
  return Load().ReadInteger(section, key, fallback);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  return Load().ReadBool(section, key, fallback);
}

bool TIniFile::WriteString(std::string_view section, std::string_view key,
                           std::string_view value) const {
  return WriteStrings({{section, key, value}});
}

bool TIniFile::WriteStrings(const std::vector<TEntry>& entries, bool ownerOnly) const {
  const platform::TFileContents file = platform::ReadWholeFile(path_, kMaxFileBytes);
  // Rewriting a file that could not be read would throw its contents away.
  if (file.status == platform::TFileReadStatus::Failed) return false;
  TIniText text(file.contents);
  for (const TEntry& entry : entries) {
    if (!text.WriteString(entry.section, entry.key, entry.value)) return false;
  }
  // An unchanged file is left alone, unless it must still be closed to others.
  if (file.status == platform::TFileReadStatus::Read && text.Text() == file.contents && !ownerOnly) {
    return true;
  }
  return platform::ReplaceFileDurably(path_, text.Text(), ownerOnly);
}

bool TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) const {
  return WriteString(section, key, std::to_string(value));
}
