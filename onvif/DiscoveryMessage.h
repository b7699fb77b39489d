// The WS-Discovery messages (the 2005/04 version ONVIF clients speak, SOAP 1.2 over UDP): the
// Probe a recorder sends looking for cameras, read leniently as clients write it, and the
// ProbeMatches, Hello and Bye this camera sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OnvifState.h"

// Longer datagrams are no probe this camera reads: real ones take well under 2 KiB.
inline constexpr std::size_t kMaxDiscoveryDatagram = 16 * 1024;

struct TDiscoveryProbe {
  std::string messageId;
  // No Types were asked for, or only types this camera is (NetworkVideoTransmitter, Device).
  bool typesMatch = false;
  std::vector<std::string> scopes;  // asked for; empty: any
  std::string matchBy;              // the Scopes' MatchBy as sent; empty for the default rule
};

// Each message a sender sends carries the same instance (it grows when the sender restarts) and
// a number one higher than the one before, so that receivers can drop stale announcements.
struct TAppSequence {
  std::uint64_t instanceId = 0;
  std::uint64_t messageNumber = 0;
};

// The probe in a datagram; nothing when it is not a Probe (other discovery traffic, garbage, a
// DOCTYPE, no MessageID, longer than kMaxDiscoveryDatagram).
std::optional<TDiscoveryProbe> ParseDiscoveryProbe(std::string_view datagram);

// Whether the probe asks for this camera: its types, and each scope asked for covering one of
// ours by the probe's rule (by path segments by default, whole strings for strcmp0; no other).
bool ProbeSelects(const TDiscoveryProbe& probe, const std::vector<std::string>& ourScopes);

// "http://<address>:<port>/onvif/device_service", the address clients send their SOAP to.
std::string DeviceServiceAddress(std::string_view address, std::uint16_t port);

// Each message gets a fresh random MessageID.
std::string ProbeMatchesMessage(std::string_view probeMessageId, const TOnvifIdentity& identity,
                                std::string_view xaddrs, TAppSequence sequence);
std::string HelloMessage(const TOnvifIdentity& identity, std::string_view xaddrs,
                         TAppSequence sequence);
std::string ByeMessage(const TOnvifIdentity& identity, TAppSequence sequence);
