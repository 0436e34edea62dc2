// The few socket calls the UDP socket needs, implemented once per platform
// (BSD sockets on Linux, Windows Sockets on Windows). Every failure is turned
// into PlatformError here, right after the failing call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/scoped.h"

namespace zalvo::platform::sockapi {

using Handle = uintptr_t;
// A descriptor of -1 on Linux, INVALID_SOCKET on Windows.
inline constexpr Handle kInvalidHandle = ~Handle{0};

// Starts the socket library once per process.
void Startup();

Handle OpenUdp();
// Closes the socket; nothing for kInvalidHandle. Called by ScopedSocket only.
void Close(Handle handle);
using ScopedSocket = Scoped<Handle, Close, NoneIs<Handle, kInvalidHandle>>;
// Address in network byte order.
void Bind(Handle handle, uint32_t address, uint16_t port);
uint16_t LocalPort(Handle handle);

// True when a datagram is waiting, false on timeout.
[[nodiscard]] bool WaitReadable(Handle handle, int timeout_ms);

// Receives one datagram into the buffer. Returns its length, or -1 when it
// did not fit or the receive failed.
[[nodiscard]] int32_t ReceiveFrom(Handle handle, char* buffer, size_t capacity,
                                  uint32_t* from_address, uint16_t* from_port);

struct BatchSlot {
  // The datagram's length, or -1 when it did not fit or the receive failed.
  int32_t length = -1;
  uint32_t from_address = 0;
  uint16_t from_port = 0;
};

// Receives the datagrams already waiting, without waiting, at most `count`:
// datagram i into buffer + i * capacity. Returns how many slots it filled
// (0 when none was waiting; a failed receive fills one slot with -1).
[[nodiscard]] size_t ReceiveWaiting(Handle handle, char* buffer, size_t capacity, BatchSlot* slots,
                                    size_t count);

// Sets the receive queue's size and returns what the system granted.
int SetReceiveBuffer(Handle handle, int bytes);

void SendTo(Handle handle, uint32_t address, uint16_t port, std::string_view bytes);
// Lets the socket send to a broadcast address.
void AllowBroadcast(Handle handle);

// A dotted IPv4 address, else a name looked up; nullopt when neither works.
[[nodiscard]] std::optional<uint32_t> ResolveIPv4(std::string_view host);

}  // namespace zalvo::platform::sockapi
