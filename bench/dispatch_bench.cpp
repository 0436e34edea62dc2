#include <benchmark/benchmark.h>

#include "agent/agent.h"
#include "tests/support/recording_actions.h"

namespace {

using zalvo::agent::Agent;
using zalvo::agent::AgentState;

void BM_DispatchDatagram(benchmark::State& state) {
  AgentState agent_state;
  agent_state.settings.SetText(zalvo::settings::Key::ServerIP, "192.168.1.1");
  zalvo::testing::RecordingActions actions(agent_state);
  Agent agent(agent_state, actions, actions);
  const std::string commands[] = {"ACTION SIT 30", "ACTION STAND", "ACTION INFO",
                                  "ACTION VOLUME 50", "no command"};
  size_t i = 0;
  for (auto _ : state) {
    const std::string& text = commands[i++ % 5];
    agent.DataReceived(static_cast<int32_t>(text.size()), text, "192.168.1.1", 6868);
    actions.calls.clear();
  }
}
BENCHMARK(BM_DispatchDatagram);

void BM_Tick(benchmark::State& state) {
  AgentState agent_state;
  zalvo::testing::RecordingActions actions(agent_state);
  Agent agent(agent_state, actions, actions);
  agent.Startup();
  agent_state.report_period = 60;
  for (auto _ : state) {
    agent.Tick();
    actions.calls.clear();
  }
}
BENCHMARK(BM_Tick);

}  // namespace
