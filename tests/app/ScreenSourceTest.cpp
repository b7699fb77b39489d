#include "app/ScreenSource.h"

#include <gtest/gtest.h>

#include <string_view>

TEST(ScreenSource, TheSessionChoosesUnlessTheSettingsForceABackend) {
  struct TCase {
    TCaptureChoice choice;
    std::string_view sessionType;
    std::string_view waylandDisplay;
    TCaptureBackend expected;
  };
  const TCase cases[] = {
      {TCaptureChoice::Auto, "wayland", "", TCaptureBackend::Portal},
      {TCaptureChoice::Auto, "x11", "wayland-0", TCaptureBackend::X11},
      {TCaptureChoice::Auto, "", "wayland-0", TCaptureBackend::Portal},
      {TCaptureChoice::Auto, "tty", "wayland-0", TCaptureBackend::Portal},
      {TCaptureChoice::Auto, "", "", TCaptureBackend::X11},
      {TCaptureChoice::X11, "wayland", "wayland-0", TCaptureBackend::X11},
      {TCaptureChoice::Portal, "x11", "", TCaptureBackend::Portal},
      {TCaptureChoice::Mutter, "wayland", "wayland-0", TCaptureBackend::Mutter},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ChooseCaptureBackend(c.choice, c.sessionType, c.waylandDisplay), c.expected)
        << c.sessionType << " / " << c.waylandDisplay;
  }
}
