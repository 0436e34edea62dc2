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

// The address as four decimal numbers joined by dots, written into the
// text (whose storage is kept).
void DottedAddress(uint32_t network_order, std::string& text) {
  const auto* b = reinterpret_cast<const unsigned char*>(&network_order);
  text.clear();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      text += '.';
    }
    unsigned v = b[i];
    if (v >= 100) {
      text += static_cast<char>('0' + v / 100);
    }
    if (v >= 10) {
      text += static_cast<char>('0' + v / 10 % 10);
    }
    text += static_cast<char>('0' + v % 10);
  }
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
    if (!WaitUntilReadable(timeout_ms)) {
      return std::nullopt;
    }
    return ReceiveOne();
  }

  bool ReceiveBatch(std::vector<ReceivedDatagram>& batch, size_t most, int timeout_ms) override {
    if (most == 0 || !WaitUntilReadable(timeout_ms)) {
      batch.clear();
      return false;
    }
    buffer_.resize(most * kMaxDatagram);
    slots_.resize(most);
    size_t n =
        sockapi::ReceiveWaiting(socket_.get(), buffer_.data(), kMaxDatagram, slots_.data(), most);
    // The batch's strings keep their storage from the call before: a flood
    // of small datagrams allocates nothing.
    if (batch.size() < n) {
      batch.resize(n);
    }
    for (size_t i = 0; i < n; ++i) {
      ReceivedDatagram& d = batch[i];
      const sockapi::BatchSlot& slot = slots_[i];
      d.byte_count = slot.length;
      d.bytes.assign(buffer_.data() + i * kMaxDatagram,
                     slot.length > 0 ? static_cast<size_t>(slot.length) : 0);
      d.from_address = slot.from_address;
      d.from_port = slot.from_port;
      DottedAddress(slot.from_address, d.from_ip);
    }
    batch.resize(n);
    return n > 0;
  }

  int SetReceiveBuffer(int bytes) override {
    return sockapi::SetReceiveBuffer(socket_.get(), bytes);
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
    SendToAddress(*address, port, bytes);
  }

  void SendToAddress(uint32_t address, uint16_t port, std::string_view bytes) override {
    if (address == 0) {
      throw PlatformError("Null Remote Address");
    }
    sockapi::SendTo(socket_.get(), address, port, bytes);
  }

  void AllowBroadcast() override { sockapi::AllowBroadcast(socket_.get()); }

  void Shutdown() override { shut_down_.store(true); }

 private:
  // False on timeout and once Shutdown has been called.
  bool WaitUntilReadable(int timeout_ms) {
    int waited = 0;
    while (!shut_down_.load()) {
      int slice = timeout_ms < 0 ? kWaitSliceMs : std::min(kWaitSliceMs, timeout_ms - waited);
      if (slice < 0) {
        return false;
      }
      if (sockapi::WaitReadable(socket_.get(), slice)) {
        return true;
      }
      waited += slice;
      if (timeout_ms >= 0 && waited >= timeout_ms) {
        return false;
      }
    }
    return false;
  }

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
    DottedAddress(from, datagram.from_ip);
    datagram.from_address = from;
    datagram.from_port = from_port;
    return datagram;
  }

  sockapi::ScopedSocket socket_;
  std::atomic<bool> shut_down_{false};
  std::vector<char> buffer_;
  std::vector<sockapi::BatchSlot> slots_;
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
  std::string text;
  DottedAddress(*address, text);
  return text;
}

}  // namespace zalvo::platform
