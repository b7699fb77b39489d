#include "DiscoveryService.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

#include "DeviceAnswers.h"
#include "log/ServiceLog.h"
#include "platform/NetworkInterfaces.h"

namespace {

constexpr std::size_t kMaxSenders = 256;

std::string Text(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// One sequence for the whole process, whichever service object sends: the service is made anew
// each time the camera's ONVIF side starts, and receivers drop an announcement whose number does
// not grow within the instance.
TAppSequence NextSequence() {
  static const auto instance =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  static std::atomic<std::uint64_t> number{0};
  return {instance, ++number};
}

std::string Also(std::size_t events) {
  return events > 1 ? ", " + std::to_string(events - 1) + " more since the last report" : "";
}

}  // namespace

TDiscoveryService::TBucket::TBucket(std::uint32_t perSecond, std::uint32_t burst, std::uint32_t now)
    : perSecond_(perSecond),
      capacity_(std::uint64_t{burst} * 1000),
      tokens_(capacity_),
      last_(now) {}

void TDiscoveryService::TBucket::Refill(std::uint32_t now) {
  const std::uint64_t earned = std::uint64_t{platform::TicksElapsed(last_, now)} * perSecond_;
  tokens_ = std::min(capacity_, tokens_ + earned);
  last_ = now;
}

bool TDiscoveryService::TBucket::Take(std::uint32_t now) {
  Refill(now);
  if (tokens_ < 1000) return false;
  tokens_ -= 1000;
  return true;
}

bool TDiscoveryService::TBucket::Full(std::uint32_t now) const {
  return tokens_ + std::uint64_t{platform::TicksElapsed(last_, now)} * perSecond_ >= capacity_;
}

TDiscoveryService::TDiscoveryService(TDiscoveryLinks links)
    : links_(std::move(links)),
      scopes_(OnvifScopes(links_.identity)),
      answers_(kAnswersPerSecond, kAnswersPerSecond, links_.clock->TickCount()),
      socket_(
          links_.port,
          [this](std::span<const std::uint8_t> bytes, const platform::TDatagramArrival& arrival) {
            Receive(bytes, arrival);
          },
          platform::TUdpSocketOptions{true, kMaxDiscoveryDatagram}) {}

TDiscoveryService::~TDiscoveryService() {
  Stop();
}

bool TDiscoveryService::Start() {
  if (socket_.IsOpen()) return true;
  std::vector<platform::TNetworkInterface> candidates;
  if (!links_.bindAddress.empty()) {
    auto bound = platform::InterfaceWithAddress(links_.bindAddress);
    if (!bound) {
      Log("WS-Discovery off: no network interface has the address " + links_.bindAddress);
      return false;
    }
    bindIndex_ = bound->index;
    candidates.push_back(std::move(*bound));
  } else {
    for (platform::TNetworkInterface& entry : platform::NetworkInterfaces()) {
      if (entry.multicast) candidates.push_back(std::move(entry));
    }
  }
  // Every address, even with a bind address: multicast probes are sent to the group's address,
  // which a socket bound to one unicast address would never see.
  if (!socket_.Open()) {
    Log("WS-Discovery off: " + socket_.LastError() +
        "; recorders will not find the camera by themselves but can be given its address");
    return false;
  }
  joined_.clear();
  std::string where;
  for (const platform::TNetworkInterface& entry : candidates) {
    if (!socket_.JoinMulticastGroup(kGroup, entry.ipv4)) {
      Log("WS-Discovery cannot listen on " + entry.name + ": " + socket_.LastError());
      continue;
    }
    joined_.push_back({entry.name, entry.ipv4, entry.index});
    where += (where.empty() ? " on " : ", ") + entry.name + " " + entry.ipv4;
  }
  Log("WS-Discovery listening on UDP port " + std::to_string(socket_.Port()) +
      (where.empty() ? " for direct probes only (no interface joined the group)" : where));
  for (const TJoined& entry : joined_) {
    const std::string hello = HelloMessage(
        links_.identity, DeviceServiceAddress(entry.address, links_.httpPort), NextSequence());
    if (!socket_.SendFrom(entry.address, kGroup, links_.port, Bytes(hello)))
      Log("WS-Discovery Hello on " + entry.name + " failed: " + socket_.LastError());
  }
  return true;
}

void TDiscoveryService::Stop() {
  if (!socket_.IsOpen()) return;
  for (const TJoined& entry : joined_) {
    const std::string bye = ByeMessage(links_.identity, NextSequence());
    if (!socket_.SendFrom(entry.address, kGroup, links_.port, Bytes(bye)))
      Log("WS-Discovery Bye on " + entry.name + " failed: " + socket_.LastError());
  }
  socket_.Close();
  joined_.clear();
}

void TDiscoveryService::Receive(std::span<const std::uint8_t> bytes,
                                const platform::TDatagramArrival& arrival) {
  const std::uint32_t now = links_.clock->TickCount();
  if (!links_.bindAddress.empty() && arrival.interfaceIndex != bindIndex_ &&
      arrival.localAddress != links_.bindAddress) {
    return;
  }
  if (arrival.cut) {
    if (const std::size_t dropped = oversized_.Count(now))
      Log("WS-Discovery ignored a datagram over " + std::to_string(kMaxDiscoveryDatagram) +
          " bytes from " + arrival.address + Also(dropped));
    return;
  }
  // The group carries every discovery message on the network, not only probes: the rest is
  // none of this camera's business and goes unmentioned.
  const std::optional<TDiscoveryProbe> probe = ParseDiscoveryProbe(Text(bytes));
  if (!probe || !ProbeSelects(*probe, scopes_)) return;
  if (!MayAnswer(arrival.address, now)) {
    if (const std::size_t refused = refusedAnswers_.Count(now))
      Log("WS-Discovery left a probe from " + arrival.address + " unanswered (too many probes)" +
          Also(refused));
    return;
  }
  std::string local = links_.bindAddress.empty() ? arrival.localAddress : links_.bindAddress;
  if (local.empty() || local == "0.0.0.0") {
    // The system names no address for a multicast probe on an interface whose only address is of
    // host scope (loopback): the interface it came in on has one all the same.
    for (const TJoined& entry : joined_) {
      if (entry.index == arrival.interfaceIndex) local = entry.address;
    }
  }
  if (local.empty() || local == "0.0.0.0") return;
  const std::string answer =
      ProbeMatchesMessage(probe->messageId, links_.identity,
                          DeviceServiceAddress(local, links_.httpPort), NextSequence());
  if (!socket_.SendFrom(local, arrival.address, arrival.port, Bytes(answer))) {
    if (const std::size_t failed = failedAnswers_.Count(now))
      Log("WS-Discovery answer to " + arrival.address + " failed: " + socket_.LastError() +
          Also(failed));
  }
}

bool TDiscoveryService::MayAnswer(const std::string& sender, std::uint32_t now) {
  auto known = senders_.find(sender);
  if (known == senders_.end()) {
    if (senders_.size() >= kMaxSenders) {
      std::erase_if(senders_, [now](auto& entry) { return entry.second.Full(now); });
      if (senders_.size() >= kMaxSenders) return false;
    }
    known =
        senders_.emplace(sender, TBucket(kAnswersPerSenderPerSecond, kAnswerBurstPerSender, now))
            .first;
  }
  // The sender's share first: one busy sender must not use up the answers of everyone else.
  return known->second.Take(now) && answers_.Take(now);
}

void TDiscoveryService::Log(const std::string& line) const {
  if (links_.log) {
    links_.log(line);
  } else {
    LogMessage(line);
  }
}
