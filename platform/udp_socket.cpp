#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/datagram_socket.h"
#include "platform/error.h"
#include "platform/socket_api.h"
#include "text/text.h"

namespace zalvo::platform {
namespace {

// Receive waits in slices so that Shutdown from another thread is seen soon.
constexpr int kWaitSliceMs = 100;

std::string DottedAddress(uint32_t network_order) {
  const auto* b = reinterpret_cast<const unsigned char*>(&network_order);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
         std::to_string(b[3]);
}

class UdpSocket final : public DatagramSocket {
 public:
  UdpSocket() {
    sockapi::Startup();
    socket_.reset(sockapi::OpenUdp());
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  void Bind(std::string_view address, uint16_t port) override {
    auto resolved = sockapi::ResolveIPv4(address);
    if (!resolved) {
      throw PlatformError("Invalid local address " + std::string(address));
    }
    sockapi::Bind(socket_.get(), *resolved, port);
  }

  uint16_t LocalPort() override { return sockapi::LocalPort(socket_.get()); }

  std::optional<ReceivedDatagram> Receive(int timeout_ms) override {
    int waited = 0;
    while (!shut_down_.load()) {
      int slice = timeout_ms < 0 ? kWaitSliceMs : std::min(kWaitSliceMs, timeout_ms - waited);
      if (slice < 0) {
        return std::nullopt;
      }
      if (sockapi::WaitReadable(socket_.get(), slice)) {
        return ReceiveOne();
      }
      waited += slice;
      if (timeout_ms >= 0 && waited >= timeout_ms) {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  void SendTo(std::string_view host, uint16_t port, std::string_view bytes) override {
    if (host.empty()) {
      throw PlatformError("No remote host");
    }
    // A failed name lookup is tried once more before the send gives up.
    auto address = sockapi::ResolveIPv4(host);
    if (!address) {
      address = sockapi::ResolveIPv4(host);
    }
    if (!address) {
      throw PlatformError("Host Lookup Canceled");
    }
    if (*address == 0) {
      throw PlatformError("Null Remote Address");
    }
    sockapi::SendTo(socket_.get(), *address, port, bytes);
  }

  void Shutdown() override { shut_down_.store(true); }

 private:
  ReceivedDatagram ReceiveOne() {
    ReceivedDatagram datagram;
    buffer_.resize(kMaxDatagram);
    uint32_t from = 0;
    uint16_t from_port = 0;
    datagram.byte_count =
        sockapi::ReceiveFrom(socket_.get(), buffer_.data(), buffer_.size(), &from, &from_port);
    if (datagram.byte_count > 0) {
      datagram.bytes.assign(buffer_.data(), static_cast<size_t>(datagram.byte_count));
    }
    datagram.from_ip = DottedAddress(from);
    datagram.from_port = from_port;
    return datagram;
  }

  sockapi::ScopedSocket socket_;
  std::atomic<bool> shut_down_{false};
  std::vector<char> buffer_;
};

}  // namespace

std::unique_ptr<DatagramSocket> MakeUdpSocket() {
  return std::make_unique<UdpSocket>();
}

std::optional<std::string> ResolveHost(std::string_view host) {
  sockapi::Startup();
  auto address = sockapi::ResolveIPv4(host);
  if (!address) {
    return std::nullopt;
  }
  return DottedAddress(*address);
}

}  // namespace zalvo::platform
