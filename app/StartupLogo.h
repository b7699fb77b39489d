// Where the splash picture comes from and how the splash is laid out around it.
#pragma once

#include <filesystem>
#include <optional>

// A "StartupLogo.jpg" or, failing that, "StartupLogo.bmp" in the program's folder, else in its
// "images" folder. None: the built-in logo.
std::optional<std::filesystem::path> FindStartupLogo(const std::filesystem::path& programFolder);

// The gauge sits centred in a 40-pixel band at the bottom of the splash.
constexpr int SplashGaugeTop(int clientHeight, int gaugeHeight) {
  return clientHeight - (40 - gaugeHeight) / 2 - gaugeHeight;
}
