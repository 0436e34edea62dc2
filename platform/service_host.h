// The four handlers a service host drives: start, stop, pause, continue.
// Each runs on the host's control thread; a failure throws, and the host
// reports it ("Service failed on start: ...").
#pragma once

namespace zalvo::platform {

class ServiceHandlers {
 public:
  virtual ~ServiceHandlers() = default;
  virtual void Start() = 0;
  // Ends the service's threads; returns once they have ended.
  virtual void Stop() = 0;
  virtual void Pause() = 0;
  virtual void Continue() = 0;
  // A user logged on or off at a session, or a session was connected to or
  // disconnected from the console. Must return at once.
  virtual void SessionChanged() {}
};

}  // namespace zalvo::platform
