#include <benchmark/benchmark.h>

#include "agent/assembly.h"
#include "agent/command_gate.h"
#include "platform/crypto.h"
#include "protocol/envelope.h"
#include "tests/support/fake_desktop.h"
#include "tests/support/memory_files.h"
#include "tests/support/memory_registry.h"

namespace {

// Replies counted, not sent.
class CountedReplies final : public zalvo::agent::Replies {
 public:
  void SendText(const zalvo::agent::ReplyContext&, const std::string& text) override {
    bytes += text.size();
  }
  size_t bytes = 0;
};

// A station as zalvos assembles it, over an in-memory registry, Windows
// directory and desktop, without a key.
struct BenchStation {
  zalvo::testing::MemoryRegistry registry;
  zalvo::testing::MemoryFiles files;
  zalvo::testing::FakeDesktop desktop;
  CountedReplies replies;
  zalvo::agent::AssembledAgent agent{replies, {registry, files, desktop}, {}};
};

// One datagram from the server through the gate and the dispatcher.
void BM_DispatchDatagram(benchmark::State& state) {
  BenchStation station;
  station.agent.gate.SetServer("192.168.1.1");
  const std::string commands[] = {"ACTION SIT 30", "ACTION STAND", "ACTION INFO",
                                  "ACTION VOLUME 50", "no command"};
  zalvo::platform::ReceivedDatagram datagram;
  datagram.from_address = 192 | 168 << 8 | 1 << 16 | 1u << 24;
  datagram.from_ip = "192.168.1.1";
  datagram.from_port = 6868;
  const int64_t now = zalvo::protocol::UnixNow();
  size_t i = 0;
  for (auto _ : state) {
    datagram.bytes = commands[i++ % 5];
    datagram.byte_count = static_cast<int32_t>(datagram.bytes.size());
    if (auto admitted = station.agent.gate.Admit(datagram, now)) {
      station.agent.dispatcher.DataReceived(admitted->command, admitted->reply);
    }
    station.desktop.actions.clear();
  }
}
BENCHMARK(BM_DispatchDatagram);

void BM_Tick(benchmark::State& state) {
  BenchStation station;
  station.agent.dispatcher.Startup();
  station.agent.state.report_period = 60;
  for (auto _ : state) {
    station.agent.dispatcher.Tick(station.agent.gate.Reports());
    station.desktop.actions.clear();
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
