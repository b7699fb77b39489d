// A property every input must keep. Breaking it aborts, so the fuzzer keeps the input that did.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace fuzz
