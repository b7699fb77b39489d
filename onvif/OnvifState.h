// What the answers of one request are made from: the device as it presents itself, the video it
// serves, and where the request came in (so that every address answered is one the client can
// reach through the same route).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct TOnvifIdentity {
  std::string name;          // the camera's name: scopes, device information, host name
  std::string manufacturer;
  std::string model;
  std::string firmware;
  std::string serial;        // the same across restarts
  std::string hardwareId;
  std::string endpointUuid;  // "urn:uuid:…", the same across restarts
};

struct TOnvifVideo {
  int width = 0;
  int height = 0;
  int fps = 0;
  bool h264 = true;             // else MPEG-4 Part 2
  int bitrateKbps = 0;          // the limit announced
  int gopLength = 0;            // frames from one key frame to the next
  std::string h264Profile;      // "Baseline", "Main" or "High"
  int sessionTimeoutSeconds = 0;
};

struct TOnvifRequestPlace {
  std::string host;          // the Host header's host without its port; the local address if none
  std::string localAddress;  // the address the request came in on
  std::string interfaceName;
  std::string mac;           // "aa:bb:cc:dd:ee:ff"; empty when the interface has none
  std::uint16_t onvifPort = 0;
  std::uint16_t rtspPort = 0;
  std::string rtspPath;      // "/live"
  std::string snapshotPath;  // "/onvif/snapshot.jpg"
};

struct TOnvifState {
  TOnvifIdentity identity;
  TOnvifVideo video;
  TOnvifRequestPlace place;
  std::chrono::system_clock::time_point now;
};
