// The header fields of one RTSP message, in the order they were received or first set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TRtspHeader {
  std::string name;
  // Exactly as received, leading white space included; each user trims what it needs to.
  std::string value;

  friend bool operator==(const TRtspHeader&, const TRtspHeader&) = default;
};

class TRtspHeaderList {
 public:
  // Names match without regard to ASCII letter case ("cseq" finds "CSeq") and are compared whole:
  // a name with a space before its colon is a different name. Has and Get see only the first of
  // several fields of one name; GetAll sees them all.
  bool Has(std::string_view name) const;
  // The value of the first field of that name; empty when there is none.
  std::string Get(std::string_view name) const;
  // The values of every field of that name, in order: for fields a message may carry several
  // times, such as the challenges of a 401.
  std::vector<std::string> GetAll(std::string_view name) const;

  // A non-empty value replaces the first field of that name in place (the name then spelled as
  // given) or is appended as a new field; an empty value removes the first field of that name.
  void Set(std::string_view name, std::string_view value);
  // Appends a field whatever fields of that name exist.
  void Add(std::string name, std::string value);
  void Clear() { entries_.clear(); }

  std::size_t Count() const { return entries_.size(); }
  const std::vector<TRtspHeader>& Entries() const { return entries_; }

 private:
  std::vector<TRtspHeader>::iterator Find(std::string_view name);
  std::vector<TRtspHeader>::const_iterator Find(std::string_view name) const;

  std::vector<TRtspHeader> entries_;
};

// ASCII-only case folding: header names are ASCII, and bytes above 127 must compare exactly
// whatever the locale.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
