#include "DigestHeader.h"

#include <algorithm>
#include <cctype>

#include "RtspHeaderList.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte < 0x20 && c != '\t') || byte == 0x7F;
}

// Characters of a scheme, a key or an unquoted value.
bool IsTokenChar(char c) {
  return !IsBlank(c) && !IsControl(c) && c != ',' && c != '=' && c != '"';
}

// Basic's Base64 (or any single token68): letters, digits, a few marks, "=" only at the end.
bool IsToken68(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '=') --end;
  if (end == 0) return false;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
           c == '~' || c == '+' || c == '/';
  });
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  return lower;
}

class TCursor {
 public:
  explicit TCursor(std::string_view text) : text_(text) {}
  bool AtEnd() const { return at_ >= text_.size(); }
  char Peek() const { return text_[at_]; }
  void Skip() { ++at_; }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(Peek())) ++at_;
  }
  std::string_view Token() {
    const std::size_t start = at_;
    while (!AtEnd() && IsTokenChar(Peek())) ++at_;
    return text_.substr(start, at_ - start);
  }
  std::string_view Rest() const { return text_.substr(std::min(at_, text_.size())); }
  // A quoted string with the opening quote already seen; nothing when it never ends.
  std::optional<std::string> Quoted() {
    std::string value;
    while (!AtEnd()) {
      char c = Peek();
      ++at_;
      if (c == '"') return value;
      if (c == '\\') {
        if (AtEnd()) return std::nullopt;
        c = Peek();
        ++at_;
      }
      value.push_back(c);
    }
    return std::nullopt;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<TDigestHeader> TDigestHeader::Parse(std::string_view value) {
  if (value.size() > kMaxAuthorizationLength) return std::nullopt;
  if (std::any_of(value.begin(), value.end(), IsControl)) return std::nullopt;
  TCursor cursor(value);
  cursor.SkipBlanks();
  TDigestHeader header;
  header.scheme_ = std::string(cursor.Token());
  if (header.scheme_.empty()) return std::nullopt;
  if (!cursor.AtEnd() && !IsBlank(cursor.Peek())) return std::nullopt;
  cursor.SkipBlanks();

  std::string_view rest = cursor.Rest();
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  // "abc=" reads as Base64 with its padding as much as a key with an empty value; such a lone key
  // is no use to anyone, so the token reading wins.
  if (IsToken68(rest)) {
    header.token_ = std::string(rest);
    return header;
  }

  for (;;) {
    while (!cursor.AtEnd() && (IsBlank(cursor.Peek()) || cursor.Peek() == ',')) cursor.Skip();
    if (cursor.AtEnd()) break;
    const std::string key = Lower(cursor.Token());
    if (key.empty()) return std::nullopt;
    cursor.SkipBlanks();
    if (cursor.AtEnd() || cursor.Peek() != '=') return std::nullopt;
    cursor.Skip();
    cursor.SkipBlanks();
    std::string parameter;
    if (!cursor.AtEnd() && cursor.Peek() == '"') {
      cursor.Skip();
      std::optional<std::string> quoted = cursor.Quoted();
      if (!quoted) return std::nullopt;
      parameter = std::move(*quoted);
    } else {
      parameter = std::string(cursor.Token());
    }
    cursor.SkipBlanks();
    if (!cursor.AtEnd() && cursor.Peek() != ',') return std::nullopt;
    if (header.Get(key)) return std::nullopt;
    if (header.parameters_.size() >= kMaxAuthorizationParameters) return std::nullopt;
    header.parameters_.emplace_back(key, std::move(parameter));
  }
  return header;
}

bool TDigestHeader::IsScheme(std::string_view name) const {
  return EqualsIgnoringAsciiCase(scheme_, name);
}

std::optional<std::string> TDigestHeader::Get(std::string_view key) const {
  for (const auto& [name, parameterValue] : parameters_) {
    if (EqualsIgnoringAsciiCase(name, key)) return parameterValue;
  }
  return std::nullopt;
}
