#include "platform/socket_api.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/error.h"

namespace zalvo::platform::sockapi {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
  int code = errno;
  throw platform::SystemError(std::string(what) + ": " + std::generic_category().message(code),
                              code);
}

int Fd(Handle handle) {
  return static_cast<int>(handle);
}

}  // namespace

void Startup() {}

Handle OpenUdp() {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ThrowErrno("socket");
  }
  return static_cast<Handle>(fd);
}

void Close(Handle handle) {
  if (handle != kInvalidHandle) {
    ::close(Fd(handle));
  }
}

void Bind(Handle handle, uint32_t address, uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  if (::bind(Fd(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ThrowErrno(("bind to port " + std::to_string(port)).c_str());
  }
}

uint16_t LocalPort(Handle handle) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(Fd(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    ThrowErrno("getsockname");
  }
  return ntohs(local.sin_port);
}

bool WaitReadable(Handle handle, int timeout_ms) {
  pollfd p{Fd(handle), POLLIN, 0};
  int n = ::poll(&p, 1, timeout_ms);
  if (n < 0 && errno != EINTR) {
    ThrowErrno("poll");
  }
  return n > 0;
}

int32_t ReceiveFrom(Handle handle, char* buffer, size_t capacity, uint32_t* from_address,
                    uint16_t* from_port) {
  sockaddr_in from{};
  socklen_t length = sizeof from;
  // MSG_TRUNC makes the call report the datagram's real length, so that a
  // datagram longer than the buffer is recognised and refused.
  ssize_t n = ::recvfrom(Fd(handle), buffer, capacity, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &length);
  *from_address = from.sin_addr.s_addr;
  *from_port = ntohs(from.sin_port);
  if (n < 0 || static_cast<size_t>(n) > capacity) {
    return -1;
  }
  return static_cast<int32_t>(n);
}

size_t ReceiveWaiting(Handle handle, char* buffer, size_t capacity, BatchSlot* slots,
                      size_t count) {
  constexpr size_t kMost = 64;
  count = count < kMost ? count : kMost;
  mmsghdr messages[kMost];
  iovec vectors[kMost];
  sockaddr_in senders[kMost];
  for (size_t i = 0; i < count; ++i) {
    vectors[i] = {buffer + i * capacity, capacity};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
  }
  // One call for a whole batch; MSG_TRUNC reports each datagram's real
  // length, so that one longer than the buffer is recognised and refused.
  int n = ::recvmmsg(Fd(handle), messages, static_cast<unsigned>(count), MSG_DONTWAIT | MSG_TRUNC,
                     nullptr);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    slots[0] = {};
    return 1;
  }
  for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
    slots[i].from_address = senders[i].sin_addr.s_addr;
    slots[i].from_port = ntohs(senders[i].sin_port);
    slots[i].length =
        messages[i].msg_len > capacity ? -1 : static_cast<int32_t>(messages[i].msg_len);
  }
  return static_cast<size_t>(n);
}

int SetReceiveBuffer(Handle handle, int bytes) {
  // Beyond the system's limit (net.core.rmem_max) only with CAP_NET_ADMIN;
  // without it the request is capped at the limit.
  if (::setsockopt(Fd(handle), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0 &&
      ::setsockopt(Fd(handle), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
    ThrowErrno("setsockopt SO_RCVBUF");
  }
  int granted = 0;
  socklen_t length = sizeof granted;
  if (::getsockopt(Fd(handle), SOL_SOCKET, SO_RCVBUF, &granted, &length) != 0) {
    ThrowErrno("getsockopt SO_RCVBUF");
  }
  return granted;
}

void AllowBroadcast(Handle handle) {
  int on = 1;
  if (::setsockopt(Fd(handle), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    ThrowErrno("setsockopt SO_BROADCAST");
  }
}

void SendTo(Handle handle, uint32_t address, uint16_t port, std::string_view bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  if (::sendto(Fd(handle), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) < 0) {
    ThrowErrno("sendto");
  }
}

std::optional<uint32_t> ResolveIPv4(std::string_view host) {
  std::string name(host);
  in_addr parsed{};
  if (::inet_aton(name.c_str(), &parsed) != 0) {
    return parsed.s_addr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  uint32_t address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return address;
}

}  // namespace zalvo::platform::sockapi
