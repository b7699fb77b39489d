#include "RtspResponse.h"

#include <string>

std::vector<std::string> TRtspResponse::BuildLines() {
  statusText_ = std::string(GetStatusText(statusCode_));
  SetStartLine(std::string(Version()) + ' ' + std::to_string(statusCode_) + ' ' + statusText_);
  std::vector<std::string> lines{StartLine()};
  const std::size_t bodyBytes = ContentByteLength();
  SetHeader(kRtspContentLength, std::to_string(bodyBytes));
  AppendHeaderLines(lines, bodyBytes > 0);
  return lines;
}

std::string TRtspResponse::BuildMessage() {
  std::string message;
  for (const std::string& line : BuildLines()) {
    message += line;
    message += "\r\n";
  }
  message += "\r\n";
  for (const std::string& line : Content()) {
    message += line;
    message += "\r\n";
  }
  return message;
}
