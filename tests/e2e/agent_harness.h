// Runs the built agent for an end-to-end test: on Linux zalvos over a fresh
// simulated station in a temporary folder; under Wine zalvos.exe --console
// over the Wine prefix's Windows directory and registry.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/registry.h"
#include "tests/support/wait_until.h"

namespace zalvo::testing {

class AgentHarness {
 public:
  virtual ~AgentHarness() = default;

  static std::unique_ptr<AgentHarness> Create();

  // krvini.ini in the station's Windows directory.
  virtual void WriteSettings(const std::string& bytes) = 0;
  virtual std::string ReadSettings() = 0;
  virtual void RemoveSettings() = 0;

  // The station's registry as the agent sees it.
  virtual platform::Registry& registry() = 0;

  // Starts the agent with the given tick length; Stop ends it.
  virtual void Start(int tick_ms = 1000) = 0;
  virtual void Stop() = 0;
  // Ends the agent at once, wherever it is.
  virtual void Kill() = 0;
  virtual bool Running() = 0;
  // What the agent printed so far.
  virtual std::string Output() = 0;
  // Whether the agent printed `text` within the time: a line its threads
  // write after the reply, or after what the station recorded, comes late.
  bool Printed(const std::string& text, int timeout_ms = 10000) {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; },
                     std::chrono::milliseconds(timeout_ms));
  }

  // More arguments for the agent's next start (such as "--quiet").
  std::vector<std::string> extra_arguments;
};

}  // namespace zalvo::testing
