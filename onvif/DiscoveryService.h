// WS-Discovery for the ONVIF camera: announces it with Hello when it starts and Bye when it stops,
// and answers the Probes recorders send to find cameras, on UDP port 3702 and the multicast group
// 239.255.255.250. Each answer names the address the probe came in on, so a recorder on any of
// the machine's networks is told an address it can reach.
//
// Anyone on the network can send probes, with any sender address: answers are limited overall
// and per sender address, and each kind of refusal is logged at most once a second.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "DiscoveryMessage.h"
#include "OnvifState.h"
#include "log/LogThrottle.h"
#include "platform/Clock.h"
#include "platform/UdpSocket.h"

struct TDiscoveryLinks {
  TOnvifIdentity identity{};
  std::uint16_t httpPort = 0;                   // the ONVIF HTTP port the answers point to
  std::string bindAddress{};                    // empty: every IPv4 interface that can multicast
  std::uint16_t port = 3702;                    // tests use free ports
  std::function<void(std::string_view)> log{};  // empty: the service log
  const platform::TClock* clock = &platform::SystemClock();  // times the limits; must outlive
};

class TDiscoveryService {
 public:
  static constexpr const char* kGroup = "239.255.255.250";
  static constexpr std::uint32_t kAnswersPerSecond = 20;
  static constexpr std::uint32_t kAnswersPerSenderPerSecond = 2;
  static constexpr std::uint32_t kAnswerBurstPerSender = 4;

  explicit TDiscoveryService(TDiscoveryLinks links);
  // Stops (with Bye) when still running.
  ~TDiscoveryService();
  TDiscoveryService(const TDiscoveryService&) = delete;
  TDiscoveryService& operator=(const TDiscoveryService&) = delete;

  // Opens the port, joins the group on the interfaces and says Hello on each. False, after one
  // log line, when the port cannot be had (another discovery service holds it) or the bind
  // address is no interface's; the camera then still works for recorders given its address.
  // A single interface that refuses the group is logged and left out.
  bool Start();
  // Says Bye on each interface and closes the port; does nothing when not running.
  void Stop();

 private:
  // Answers a sustained rate with a burst on top; counts in thousandths of an answer.
  class TBucket {
   public:
    TBucket(std::uint32_t perSecond, std::uint32_t burst, std::uint32_t now);
    bool Take(std::uint32_t now);
    bool Full(std::uint32_t now) const;

   private:
    void Refill(std::uint32_t now);
    std::uint32_t perSecond_;
    std::uint64_t capacity_;
    std::uint64_t tokens_;
    std::uint32_t last_;
  };

  void Receive(std::span<const std::uint8_t> bytes, const platform::TDatagramArrival& arrival);
  bool MayAnswer(const std::string& sender, std::uint32_t now);
  void Log(const std::string& line) const;

  const TDiscoveryLinks links_;
  const std::vector<std::string> scopes_;

  struct TJoined {
    std::string name;
    std::string address;
    unsigned index = 0;
  };
  std::vector<TJoined> joined_;  // changed only by Start and Stop, while nothing receives
  unsigned bindIndex_ = 0;       // the bind address's interface

  // Used only by the receive thread.
  TBucket answers_;
  std::unordered_map<std::string, TBucket> senders_;
  TLogThrottle refusedAnswers_;
  TLogThrottle oversized_;
  TLogThrottle failedAnswers_;

  platform::TUdpSocket socket_;  // last, so that its receive thread ends before the rest goes
};
