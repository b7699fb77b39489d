#include "app/DialogValues.h"

#include <gtest/gtest.h>

namespace {

TEST(ParsePortEntry, ReadsDecimalAndHexadecimalAndFallsBackToTheStandardPort) {
  EXPECT_EQ(ParsePortEntry("  8554  "), 8554);
  EXPECT_EQ(ParsePortEntry("\t554\r\n"), 554);
  EXPECT_EQ(ParsePortEntry("0x1F90"), 8080);
  EXPECT_EQ(ParsePortEntry("$1F90"), 8080);
  // Out of the port range but a 32-bit integer: the listener is the one to refuse it.
  EXPECT_EQ(ParsePortEntry("70000"), 70000);
  EXPECT_EQ(ParsePortEntry("2147483647"), 2147483647);
  for (const char* text :
       {"", "   ", "abc", "85 54", "8554x", "0x", "$", "4294967296", "0x100000000", "$1F90G"}) {
    EXPECT_EQ(ParsePortEntry(text), 6554) << '"' << text << '"';
  }
}

}  // namespace
