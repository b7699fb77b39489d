#pragma once

#include <cstdint>
#include <span>
#include <string>

// Standard alphabet, "=" padding, no line breaks: what SDP's sprop-parameter-sets carries.
std::string Base64Encode(std::span<const uint8_t> bytes);
