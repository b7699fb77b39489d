#include "RtspMessage.h"

#include <algorithm>
#include <string>
#include <utility>

#include "RtspMessageText.h"

bool TRtspBase::Parse(std::string_view text) {
  headers_.Clear();
  std::vector<std::string> lines = SplitRtspLines(text);
  if (lines.empty()) return false;
  startLine_ = std::move(lines.front());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string& line = lines[i];
    if (line.empty()) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
      headers_.Add(std::move(line), {});
    } else {
      headers_.Add(line.substr(0, colon), line.substr(colon + 1));
    }
  }
  return true;
}

void TRtspBase::SetContent(std::string_view text) {
  content_ = SplitRtspLines(text);
}

void TRtspBase::AddContentLine(std::string line) {
  content_.push_back(std::move(line));
}

std::size_t TRtspBase::ContentByteLength() const {
  std::size_t bytes = 0;
  for (const std::string& line : content_) bytes += line.size() + 2;
  return bytes;
}

std::vector<std::string> TRtspBase::BuildLines() {
  std::vector<std::string> lines{startLine_};
  AppendHeaderLines(lines, true);
  return lines;
}

void TRtspBase::AppendHeaderLines(std::vector<std::string>& lines, bool withContentLength) const {
  const auto oneLine = [](std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
  };
  for (const TRtspHeader& header : headers_.Entries()) {
    if (header.name.empty() && header.value.empty()) continue;
    if (!withContentLength && EqualsIgnoringAsciiCase(header.name, kRtspContentLength)) continue;
    lines.push_back(oneLine(header.name) + ": " + oneLine(header.value));
  }
}

int32_t TRtspBase::GetCSeq() const {
  return ParseRtspInteger(GetHeader(kRtspCSeq)).value_or(0);
}

void TRtspBase::SetCSeq(int32_t sequence) {
  SetHeader(kRtspCSeq, std::to_string(sequence));
}

int32_t TRtspBase::GetContentLength() const {
  return ParseRtspInteger(GetHeader(kRtspContentLength)).value_or(0);
}

void TRtspBase::SetContentLength(int32_t length) {
  SetHeader(kRtspContentLength, std::to_string(length));
}
