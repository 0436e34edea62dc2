// One IPv4 UDP socket: bound to a local port, receiving one datagram at a
// time with its sender, and sending datagrams from the same port.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::platform {

// The largest datagram received whole, and the largest reply the agent sends.
inline constexpr size_t kMaxDatagram = 2048;

struct ReceivedDatagram {
  // Byte count of the datagram, or -1 when the receive failed (a datagram
  // longer than kMaxDatagram fails).
  int32_t byte_count = -1;
  std::string bytes;
  // The sender's four address bytes as decimal numbers joined by dots, with
  // no leading zeros.
  std::string from_ip;
  // The same address as four bytes in network order.
  uint32_t from_address = 0;
  uint16_t from_port = 0;
};

class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;

  // Binds to a dotted IPv4 address ("0.0.0.0" for all) and a port; 0 picks a
  // free port. Throws PlatformError.
  virtual void Bind(std::string_view address, uint16_t port) = 0;
  virtual uint16_t LocalPort() = 0;

  // Waits up to timeout_ms (forever when negative) for the next datagram.
  // nullopt on timeout and once Shutdown has been called.
  [[nodiscard]] virtual std::optional<ReceivedDatagram> Receive(int timeout_ms) = 0;

  // Waits like Receive, then takes every datagram already waiting, at most
  // `most`, into the batch (whose strings keep their storage from call to
  // call). False, with an empty batch, on timeout and after Shutdown.
  [[nodiscard]] virtual bool ReceiveBatch(std::vector<ReceivedDatagram>& batch, size_t most,
                                          int timeout_ms) = 0;

  // Asks the system for a receive queue of that many bytes and returns what
  // it granted (a system may halve, double or cap the request). Throws
  // PlatformError when the size can't be read back.
  virtual int SetReceiveBuffer(int bytes) = 0;

  // Sends one datagram from the bound socket. The host is a dotted address or
  // a name that is looked up. Throws PlatformError on an empty or null
  // address, a failed lookup or a failed send.
  virtual void SendTo(std::string_view host, uint16_t port, std::string_view bytes) = 0;
  // The same to an address already in network order. Throws PlatformError
  // on the null address and a failed send.
  virtual void SendToAddress(uint32_t address, uint16_t port, std::string_view bytes) = 0;

  // Lets the socket send to a broadcast address. Throws PlatformError.
  virtual void AllowBroadcast() = 0;

  // Ends every wait in Receive, now and later. Safe from another thread.
  virtual void Shutdown() = 0;
};

[[nodiscard]] std::unique_ptr<DatagramSocket> MakeUdpSocket();

// A host's IPv4 address as four decimal numbers joined by dots, with no
// leading zeros: a dotted address as it stands, else the name looked up;
// nullopt when neither works.
[[nodiscard]] std::optional<std::string> ResolveHost(std::string_view host);

}  // namespace zalvo::platform
