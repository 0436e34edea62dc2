#include <benchmark/benchmark.h>

#include "agent/agent.h"
#include "agent/command_gate.h"
#include "platform/crypto.h"
#include "protocol/envelope.h"
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
    agent.DataReceived(text, {});
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
    agent.Tick({});
    actions.calls.clear();
  }
}
BENCHMARK(BM_Tick);

// A keyed station's gate under a flood of forged envelopes from the server's
// own address: well formed and of this second, so that only the MAC refuses
// them. The receive loop's whole cost for each such datagram.
void BM_GateRefusesForgedEnvelope(benchmark::State& state) {
  zalvo::protocol::CommandKey key{};
  for (size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<uint8_t>(i + 1);
  }
  zalvo::agent::CommandGate gate(zalvo::protocol::KeyText{key, "192.168.1.21"});
  gate.SetServer("192.168.1.1");
  const int64_t now = zalvo::protocol::UnixNow();
  zalvo::platform::ReceivedDatagram datagram;
  datagram.bytes = "Z1 " + std::to_string(now) + " 00112233445566778899aabbccddeeff " +
                   std::string(64, 'a') + " ACTION INFO";
  datagram.byte_count = static_cast<int32_t>(datagram.bytes.size());
  datagram.from_address = 192 | 168 << 8 | 1 << 16 | 1u << 24;
  datagram.from_ip = "192.168.1.1";
  datagram.from_port = 6868;
  for (auto _ : state) {
    benchmark::DoNotOptimize(gate.Admit(datagram, now));
  }
}
BENCHMARK(BM_GateRefusesForgedEnvelope);

// For comparison, what the MAC of one such datagram costs when the key's
// state is set up for each message (the system's one-shot HMAC over the
// joined fields), as every datagram once did.
void BM_OneShotHmacOfEnvelopeFields(benchmark::State& state) {
  zalvo::protocol::CommandKey key{};
  key.fill(1);
  const std::string fields =
      "Z1\nC\n1800000000\n00112233445566778899aabbccddeeff\n192.168.1.21\nACTION INFO";
  for (auto _ : state) {
    std::string input = fields;  // the fields were joined into one text
    benchmark::DoNotOptimize(zalvo::platform::HmacSha256(key, input));
  }
}
BENCHMARK(BM_OneShotHmacOfEnvelopeFields);

}  // namespace
