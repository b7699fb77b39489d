#include "RtspHeaderList.h"

#include <algorithm>
#include <utility>

namespace {

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiLower(x) == AsciiLower(y);
         });
}

std::vector<TRtspHeader>::iterator TRtspHeaderList::Find(std::string_view name) {
  return std::find_if(entries_.begin(), entries_.end(), [name](const TRtspHeader& header) {
    return EqualsIgnoringAsciiCase(header.name, name);
  });
}

std::vector<TRtspHeader>::const_iterator TRtspHeaderList::Find(std::string_view name) const {
  return std::find_if(entries_.begin(), entries_.end(), [name](const TRtspHeader& header) {
    return EqualsIgnoringAsciiCase(header.name, name);
  });
}

bool TRtspHeaderList::Has(std::string_view name) const {
  return Find(name) != entries_.end();
}

std::string TRtspHeaderList::Get(std::string_view name) const {
  const auto found = Find(name);
  return found == entries_.end() ? std::string() : found->value;
}

std::vector<std::string> TRtspHeaderList::GetAll(std::string_view name) const {
  std::vector<std::string> values;
  for (const TRtspHeader& header : entries_) {
    if (EqualsIgnoringAsciiCase(header.name, name)) values.push_back(header.value);
  }
  return values;
}

void TRtspHeaderList::Set(std::string_view name, std::string_view value) {
  const auto found = Find(name);
  if (value.empty()) {
    if (found != entries_.end()) entries_.erase(found);
    return;
  }
  if (found == entries_.end()) {
    entries_.push_back({std::string(name), std::string(value)});
  } else {
    *found = {std::string(name), std::string(value)};
  }
}

void TRtspHeaderList::Add(std::string name, std::string value) {
  entries_.push_back({std::move(name), std::move(value)});
}
