// What RTSP requests and responses have in common: a start line, header fields and a body kept
// as lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RtspHeaderList.h"

inline constexpr std::string_view kRtspCSeq = "CSeq";
inline constexpr std::string_view kRtspContentLength = "Content-Length";
inline constexpr std::string_view kRtspContentType = "Content-Type";
inline constexpr std::string_view kRtspDate = "Date";

class TRtspBase {
 public:
  virtual ~TRtspBase() = default;

  // Reads the start line and the header fields of a message head. Header fields are cut at their
  // first ":" into name and value; empty lines are skipped wherever they stand, and a line without
  // ":" becomes a field with that line as its name and an empty value. False when the text has no
  // line at all. The body is not part of the text: it follows the head on the connection and is
  // given to SetContent.
  virtual bool Parse(std::string_view text);
  // Replaces the body by the lines of text (lines end as in Parse).
  void SetContent(std::string_view text);
  void AddContentLine(std::string line);

  // The start line followed by one "name: value" line per header field, without line ends.
  virtual std::vector<std::string> BuildLines();

  // The version every message of this server carries; a request's own version is only checked.
  std::string_view Version() const { return "RTSP/1.0"; }
  const std::string& StartLine() const { return startLine_; }
  const std::vector<std::string>& Content() const { return content_; }
  // The bytes the body takes on the wire: each line followed by CR LF.
  std::size_t ContentByteLength() const;

  TRtspHeaderList& Headers() { return headers_; }
  const TRtspHeaderList& Headers() const { return headers_; }
  std::string GetHeader(std::string_view name) const { return headers_.Get(name); }
  void SetHeader(std::string_view name, std::string_view value) { headers_.Set(name, value); }

  // CSeq and Content-Length as numbers; 0 when absent or not a 32-bit decimal number. The setters
  // store 0 as "0" rather than removing the field, since a response must echo a CSeq of 0 too.
  int32_t GetCSeq() const;
  void SetCSeq(int32_t sequence);
  int32_t GetContentLength() const;
  void SetContentLength(int32_t length);

 protected:
  TRtspBase() = default;
  TRtspBase(const TRtspBase&) = default;
  TRtspBase& operator=(const TRtspBase&) = default;

  void SetStartLine(std::string line) { startLine_ = std::move(line); }
  // One "name: value" line per field. A CR or LF inside a name or value becomes a space, so no
  // value can end its line early and smuggle a header or a body into the message.
  void AppendHeaderLines(std::vector<std::string>& lines, bool withContentLength) const;

 private:
  std::string startLine_;
  std::vector<std::string> content_;
  TRtspHeaderList headers_;
};
