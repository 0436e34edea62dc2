// The session helper's side of the channel: it carries out each request on
// the desktop and speakers of the session it runs in and answers it. The
// same code serves the real helper (zalvos.exe in its helper mode) and the
// tests' helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/console_session.h"
#include "platform/desktop.h"
#include "platform/log_sink.h"
#include "platform/mixer.h"
#include "protocol/helper_codec.h"

namespace zalvo::agent {

// The frame the helper sends first, once.
std::string HelloFrame(uint32_t process_id);

// The frame that tells what became of an action answered before it was done.
std::string EventFrame(const protocol::helper::Outcome& outcome);

// Carries out one request and gives the bytes of its reply frame. A refusal
// of the system (PlatformError) is answered as refused; a request whose
// fields don't read throws FrameError. Without the lock screen's windows the
// lock order is refused.
std::string AnswerRequest(const protocol::helper::Frame& request,
                          const platform::DesktopRoles& desktop, platform::Mixer& mixer,
                          platform::LockScreenWindows* lock_screens = nullptr);

// The helper's channel: a byte stream in each direction.
class HelperStream {
 public:
  virtual ~HelperStream() = default;
  // What arrived, at most size bytes, waiting for the first; 0 when the
  // service closed the channel.
  virtual size_t Read(char* data, size_t size) = 0;
  // False when the bytes could not be written.
  virtual bool Write(std::string_view bytes) = 0;
};

// Says hello, then answers requests until the channel closes or carries
// what it should not, with the desktop actions that may wait on another
// program handed off (agent/hand_off_desktop.h): their outcomes go to the
// service as events. The stream is written from several threads, one frame
// at a time. Returns the helper's exit code: 0 when the service closed the
// channel, 1 otherwise; before it returns, the starts under way end.
int ServeHelperChannel(HelperStream& stream, platform::Desktop& desktop, platform::Mixer& mixer,
                       uint32_t process_id, const platform::LogSink& log = {},
                       platform::LockScreenWindows* lock_screens = nullptr);

}  // namespace zalvo::agent
