// A UDP socket bound to one port on one or every local IPv4 address, with a thread of its own that
// hands each datagram it receives to a handler. Sending works from any number of threads, alongside
// the receive thread. It can also listen to a multicast group on chosen interfaces and send from a
// chosen local address, as discovery protocols need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <thread>

namespace platform {

// One received datagram: its bytes (valid only during the call), the sender's address as dotted
// decimal text and the sender's port.
using TDatagramHandler = std::function<void(std::span<const std::uint8_t> bytes,
                                            const std::string& address, std::uint16_t port)>;

// Where one received datagram came from and where it arrived.
struct TDatagramArrival {
  std::string address;  // the sender's, dotted decimal
  std::uint16_t port = 0;
  // The local address the datagram reached: for a multicast datagram, the address of the
  // interface it came in on, so that an answer can name an address the sender can reach. Empty
  // when the system did not tell.
  std::string localAddress;
  unsigned interfaceIndex = 0;  // 0 when the system did not tell
  // The datagram was longer than the socket's maxDatagram; the bytes are its cut-off start.
  bool cut = false;
};
using TDatagramArrivalHandler =
    std::function<void(std::span<const std::uint8_t> bytes, const TDatagramArrival& arrival)>;

// The pieces of one datagram, in order.
using TDatagramPieces = std::span<const std::span<const std::uint8_t>>;

struct TUdpSocketOptions {
  // SO_REUSEADDR: other sockets that ask the same may bind the port too, as every listener to a
  // well-known multicast port on one machine must. Off, a port in use makes Open fail.
  bool sharePort = false;
  // Datagrams longer than this are read no further and reach the handler cut (see
  // TDatagramArrival::cut). The default takes any datagram whole.
  std::size_t maxDatagram = 65536;
};

class TUdpSocket {
 public:
  // Nothing is bound until Open. Port 0 lets the system choose a free port when opening. The
  // handler runs on the receive thread; it should not throw, and a datagram whose handler throws
  // is dropped while receiving goes on.
  TUdpSocket(std::uint16_t port, TDatagramHandler handler);
  // The same with the fuller handler and options.
  TUdpSocket(std::uint16_t port, TDatagramArrivalHandler handler, TUdpSocketOptions options);
  // Closes the socket and waits for the receive thread.
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // Binds the port on one local IPv4 address (dotted decimal; empty or "0.0.0.0": every local
  // address) and starts the receive thread. True when open afterwards (also when it was already
  // open). On failure (port in use, no permission, no such local address) the socket stays closed
  // and LastError says why.
  bool Open(const std::string& bindAddress = {});
  // Stops the receive thread and releases the port; returns once the thread has ended, within
  // a few milliseconds unless the handler itself is busy. Must not be called from the handler.
  void Close();

  bool IsOpen() const;
  // The port given at construction or, once opened on port 0, the port the system chose.
  std::uint16_t Port() const;
  // Why the last Open or SendTo failed, in English; empty when nothing failed yet.
  std::string LastError() const;

  // Sends one datagram to an IPv4 address in dotted decimal text. False when the socket is not
  // open, the address is not valid or the system refused the datagram (see LastError).
  bool SendTo(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> bytes);
  // One datagram made of the pieces in order, gathered by the system rather than copied together
  // first; otherwise as SendTo.
  bool SendGatheredTo(const std::string& address, std::uint16_t port,
                      std::span<const std::span<const std::uint8_t>> pieces);
  // Datagrams, each gathered from its pieces, to one destination in order, in as few system calls
  // as the system allows (sendmmsg): a viewer's packets of a frame in one call rather than one
  // call each. Returns how many went out: all, or those before the first the system refused (see
  // LastError). A refused batch is tried again one datagram at a time, so that a batch the system
  // cannot take costs speed only, never datagrams.
  std::size_t SendBatchTo(const std::string& address, std::uint16_t port,
                          std::span<const TDatagramPieces> datagrams);
  // Sends from the given local address: the answer then comes from the address the request was
  // sent to and, for a multicast group, leaves through that address's interface (with the
  // system's multicast TTL of 1, so it stays on the link). Otherwise as SendTo.
  bool SendFrom(const std::string& localAddress, const std::string& address, std::uint16_t port,
                std::span<const std::uint8_t> bytes);

  // Receives the group's datagrams that arrive on the interface holding interfaceAddress; the
  // socket must be open. Only groups joined on this socket reach it. False with LastError when
  // the system refused (no such interface, no multicast there).
  bool JoinMulticastGroup(const std::string& group, const std::string& interfaceAddress);

 private:
  bool Send(const std::string& localAddress, const std::string& address, std::uint16_t port,
            std::span<const std::span<const std::uint8_t>> pieces);
  void ReceiveLoop(int socket, int wakeup);
  void SetError(std::string text) const;

  const TDatagramArrivalHandler handler_;
  const TUdpSocketOptions options_;

  // Makes Open and Close one step each for every caller; held while the receive thread ends.
  std::mutex openCloseLock_;
  std::thread receiver_;
  // Shared by senders, exclusive while the descriptors change, so that no send ever uses a
  // descriptor that Close has released (and the system may have reused).
  mutable std::shared_mutex descriptorLock_;
  int socket_ = -1;
  int wakeup_ = -1;  // written to make the receive thread leave its wait
  std::uint16_t port_;

  mutable std::mutex errorLock_;
  mutable std::string lastError_;
};

}  // namespace platform
