// Shared pieces of the encoder library tests: the loaded library, channel fields, stream parsing
// and the real decoders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/BaseKWEncoder.h"
#include "tests/support/OrxEncoderLibrary.h"

// The library, loaded once per test program as the service loads it.
OrxEncoderLibrary& Library();

// The channel's fields, read through the handle the way a debugger would.
inline const CBaseKWEncoder& Fields(OrxEnHandle handle) {
  return *static_cast<const CBaseKWEncoder*>(handle);
}

// A channel closed at the end of the scope.
class Channel {
 public:
  Channel(int encoderType, int option) : handle_(Library().CreateChannelEx(encoderType, option)) {}
  ~Channel() {
    if (handle_) Library().CloseChannel(handle_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  OrxEnHandle get() const { return handle_; }

 private:
  OrxEnHandle handle_;
};

struct EncodedPicture {
  int result = 0;
  int keyFrame = 0;
  std::vector<uint8_t> bytes;
};

// Encodes one synthetic YV12 picture; requestKey sets *keyFrame on entry.
EncodedPicture EncodePicture(OrxEnHandle channel, int width, int height, int index,
                             bool requestKey = false);

// NAL unit types of an Annex B access unit, in stream order.
std::vector<int> NalTypes(const std::vector<uint8_t>& accessUnit);
bool IsIdrWithParameterSets(const std::vector<uint8_t>& accessUnit);

// Writes the pictures' bytes as one elementary stream file.
void WriteStream(const std::string& path, const std::vector<EncodedPicture>& pictures);

// ffprobe's view of the first video stream of a file: "key=value" lines.
std::string ProbeStream(const std::string& path, const std::string& format,
                        const std::string& entries);
std::string ProbeValue(const std::string& probe, const std::string& key);
