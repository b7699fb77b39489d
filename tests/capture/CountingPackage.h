// A frame package that counts its own destruction, so tests can tell that every package was freed
// exactly once and none too early.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "capture/FramePackage.h"

class CountingPackage : public TFramePackage {
 public:
  CountingPackage(std::span<const uint8_t> bytes, std::atomic<int>& frees)
      : TFramePackage(bytes), frees_(frees) {}

 protected:
  ~CountingPackage() override { frees_.fetch_add(1); }

 private:
  std::atomic<int>& frees_;
};
