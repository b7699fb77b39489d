#include "DebugOutput.h"

#include <cstdio>

void DebugOutput(const char* line) {
  std::fputs(line, stderr);
  std::fputc('\n', stderr);
}
