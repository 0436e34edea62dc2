#include "platform/socket_api.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#include <string>

#include "platform/win32/error.h"

namespace zalvo::platform::sockapi {
namespace {

// WSAIoctl code that switches off the report of ICMP "port unreachable" as a
// receive error on a UDP socket.
constexpr DWORD kUdpConnReset = IOC_IN | IOC_VENDOR | 12;

SOCKET Sock(Handle handle) {
  return static_cast<SOCKET>(handle);
}

[[noreturn]] void ThrowSocketError(std::string_view what) {
  win32::ThrowError(what, static_cast<uint32_t>(WSAGetLastError()));
}

}  // namespace

static_assert(kInvalidHandle == static_cast<Handle>(INVALID_SOCKET));

void Startup() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data{};
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
      win32::ThrowError("WSAStartup", static_cast<uint32_t>(rc));
    }
  });
}

Handle OpenUdp() {
  // Not inherited: a process the service starts (the session helper, the
  // lock check) would otherwise hold the port after the service ends, and
  // the service's next start could not bind it.
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    ThrowSocketError("socket");
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  // Without this, an ICMP "port unreachable" for an earlier reply makes the
  // next receive fail with a connection reset.
  BOOL report = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, kUdpConnReset, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  return static_cast<Handle>(s);
}

void Close(Handle handle) {
  if (handle != kInvalidHandle) {
    ::closesocket(Sock(handle));
  }
}

void Bind(Handle handle, uint32_t address, uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = address;
  if (::bind(Sock(handle), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    ThrowSocketError("bind to port " + std::to_string(port));
  }
}

uint16_t LocalPort(Handle handle) {
  sockaddr_in local{};
  int length = sizeof local;
  if (::getsockname(Sock(handle), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    ThrowSocketError("getsockname");
  }
  return ntohs(local.sin_port);
}

bool WaitReadable(Handle handle, int timeout_ms) {
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(Sock(handle), &read_set);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int n = ::select(0, &read_set, nullptr, nullptr, timeout_ms < 0 ? nullptr : &timeout);
  if (n == SOCKET_ERROR) {
    ThrowSocketError("select");
  }
  return n > 0;
}

int32_t ReceiveFrom(Handle handle, char* buffer, size_t capacity, uint32_t* from_address,
                    uint16_t* from_port) {
  sockaddr_in from{};
  int length = sizeof from;
  // A datagram longer than the buffer fails with WSAEMSGSIZE.
  int n = ::recvfrom(Sock(handle), buffer, static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&from), &length);
  *from_address = from.sin_addr.s_addr;
  *from_port = ntohs(from.sin_port);
  return n == SOCKET_ERROR ? -1 : n;
}

size_t ReceiveWaiting(Handle handle, char* buffer, size_t capacity, BatchSlot* slots,
                      size_t count) {
  size_t n = 0;
  while (n < count) {
    if (n > 0) {
      // Winsock has no batch receive: take the next one only when the
      // system holds one (FIONREAD is the size of the next datagram).
      u_long waiting = 0;
      if (::ioctlsocket(Sock(handle), FIONREAD, &waiting) != 0 || waiting == 0) {
        break;
      }
    }
    slots[n].length = ReceiveFrom(handle, buffer + n * capacity, capacity, &slots[n].from_address,
                                  &slots[n].from_port);
    ++n;
  }
  return n;
}

int SetReceiveBuffer(Handle handle, int bytes) {
  if (::setsockopt(Sock(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                   sizeof bytes) != 0) {
    ThrowSocketError("setsockopt SO_RCVBUF");
  }
  int granted = 0;
  int length = sizeof granted;
  if (::getsockopt(Sock(handle), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted),
                   &length) != 0) {
    ThrowSocketError("getsockopt SO_RCVBUF");
  }
  return granted;
}

void AllowBroadcast(Handle handle) {
  BOOL on = TRUE;
  if (::setsockopt(Sock(handle), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
    ThrowSocketError("setsockopt SO_BROADCAST");
  }
}

void SendTo(Handle handle, uint32_t address, uint16_t port, std::string_view bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = address;
  if (::sendto(Sock(handle), bytes.data(), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
    ThrowSocketError("sendto");
  }
}

std::optional<uint32_t> ResolveIPv4(std::string_view host) {
  std::string name(host);
  if (name.empty()) {
    return std::nullopt;
  }
  unsigned long parsed = ::inet_addr(name.c_str());
  if (parsed != INADDR_NONE || name == "255.255.255.255") {
    return static_cast<uint32_t>(parsed);
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
