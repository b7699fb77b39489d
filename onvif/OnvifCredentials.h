// Who may use the camera's ONVIF side: the same user and password as its RTSP side.
#pragma once

#include <string>

struct TOnvifCredentials {
  std::string user;  // never empty while the service runs: ONVIF stays off without a user
  std::string password;
  bool allowClearText = false;  // PasswordText tokens and HTTP Basic accepted beside the digests
};
