#include <benchmark/benchmark.h>

#include "platform/sim/regedit4.h"
#include "settings/station_settings.h"

namespace {

std::string FullSettingsFile() {
  std::string file;
  for (const auto& info : zalvo::settings::KeyTable()) {
    file += std::string(info.name) + "=" +
            (info.kind == zalvo::settings::Kind::Flag ? "1" : "some text value") + "\r\n";
  }
  return file;
}

void BM_ParseAgentSettings(benchmark::State& state) {
  const std::string file = FullSettingsFile();
  for (auto _ : state) {
    benchmark::DoNotOptimize(zalvo::settings::ParseAgentSettings(file));
  }
}
BENCHMARK(BM_ParseAgentSettings);

void BM_FormatAgentSettings(benchmark::State& state) {
  auto load = zalvo::settings::ParseAgentSettings(FullSettingsFile());
  for (auto _ : state) {
    benchmark::DoNotOptimize(zalvo::settings::FormatAgentSettings(load.settings));
  }
}
BENCHMARK(BM_FormatAgentSettings);

void BM_Regedit4RoundTrip(benchmark::State& state) {
  std::string text = "REGEDIT4\n";
  for (int k = 0; k < state.range(0); ++k) {
    text += "\n[HKEY_CURRENT_USER\\Software\\Key" + std::to_string(k) + "]\n";
    for (int v = 0; v < 10; ++v) {
      text += "\"Value" + std::to_string(v) + "\"=dword:0000000" + std::to_string(v) + "\n";
    }
  }
  for (auto _ : state) {
    auto hive = zalvo::sim::ParseRegedit4("HKEY_CURRENT_USER", text);
    benchmark::DoNotOptimize(zalvo::sim::FormatRegedit4(hive));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Regedit4RoundTrip)->Arg(10)->Arg(100);

}  // namespace
