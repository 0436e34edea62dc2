// The settings file survives a program ended in the middle of saving it:
// the agent killed while "ACTION PROXY" saves, and the lock screen's save
// path killed while it writes. After every kill krvini.ini holds one whole
// version, old or new: never empty, never cut, never a mix.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "lockscreen/settings_io.h"
#include "settings/station_settings.h"
#include "tests/e2e/agent_harness.h"
#include "tests/e2e/save_loop_values.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::testing {
namespace {

using namespace std::chrono_literals;
using settings::Key;

#ifdef _WIN32
// Under Wine the command port of a killed agent can stay taken until the
// prefix's wine server ends, which the test runner does after every test
// program: one kill per run, and CTest runs the program several times with
// different seeds.
constexpr int kAgentKills = 1;
constexpr int kSaveLoopKills = 25;
#else
constexpr int kAgentKills = 30;
constexpr int kSaveLoopKills = 150;
#endif

// The random moments' seed: ZALVO_KILL_SEED, so that runs differ.
unsigned Seed() {
  const char* value = std::getenv("ZALVO_KILL_SEED");
  return value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : 20261207u;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SettingsUnderKill, TheAgentKilledWhileSavingLeavesAWholeFile) {
  ServerPeer server;
  auto harness = AgentHarness::Create();
  harness->WriteSettings(
      "ServerIP=127.0.0.1\r\nProxyEnable=0\r\nProxyServer=first\r\n"
      "ProxyPort=1\r\nStartPage=http://example.org/\r\n");
  harness->extra_arguments = {"--quiet"};
  std::mt19937 random(Seed());
  std::set<std::string> seen;
  for (int kill = 0; kill < kAgentKills; ++kill) {
    harness->Start(1000);
    ASSERT_TRUE(server.WaitForAgent())
        << "kill " << kill << " running " << harness->Running() << ":\n"
        << harness->Output();
    // A stream of saves, each with its own server and port; the kill comes
    // at a random moment among them.
    auto until = std::chrono::steady_clock::now() +
                 std::chrono::milliseconds(std::uniform_int_distribution(5, 60)(random));
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
      int port = kill * 100000 + i;
      server.Send("ACTION PROXY 1 host" + std::to_string(port) + " PORT " + std::to_string(port));
      std::this_thread::sleep_for(200us);
    }
    harness->Kill();
    server.ReceiveUntilQuiet(50);
    EXPECT_FALSE(harness->Running());

    const std::string file = harness->ReadSettings();
    SCOPED_TRACE("kill " + std::to_string(kill) + ", file:\n" + file);
    auto load = settings::ParseAgentSettings(file);
    // Whole: exactly what a save of its own values writes, every line there.
    if (load.settings.Text(Key::ProxyServer) != "first") {
      EXPECT_EQ(file, settings::FormatAgentSettings(load.settings));
      EXPECT_EQ(load.settings.Text(Key::ProxyServer), "host" + load.settings.Text(Key::ProxyPort));
    }
    EXPECT_EQ(load.settings.Text(Key::ServerIP), "127.0.0.1");
    EXPECT_EQ(load.settings.Text(Key::StartPage), "http://example.org/");
    seen.insert(load.settings.Text(Key::ProxyServer));
  }
  // The saves did happen: the file moved on through several versions.
  if (kAgentKills > 1) {
    EXPECT_GE(seen.size(), 3u);
  }
}

TEST(SettingsUnderKill, TheLockScreensSaveKilledMidwayLeavesOldOrNew) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("zalvo-save-kill-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path target = folder / "krvini.ini";
  const std::set<std::string> whole = {lockscreen::FormatLockScreenSettings(SaveLoopValues(true)),
                                       lockscreen::FormatLockScreenSettings(SaveLoopValues(false))};
  std::mt19937 random(Seed() + 1);
  std::set<std::string> seen;
  for (int kill = 0; kill < kSaveLoopKills; ++kill) {
    const std::string output = (folder / "output.txt").string();
    auto saver = StartProcess(BuiltProgramPath(SAVE_LOOP_PROGRAM), {target.string()}, output);
    for (int i = 0; i < 500 && ReadFile(output).find("saving") == std::string::npos; ++i) {
      ASSERT_TRUE(saver->Running()) << ReadFile(output);
      std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(
        std::chrono::microseconds(std::uniform_int_distribution(0, 20000)(random)));
    saver->Kill();
    const std::string file = ReadFile(target);
    EXPECT_EQ(whole.count(file), 1u) << "kill " << kill << " left " << file.size() << " bytes:\n"
                                     << file;
    seen.insert(file);
  }
  EXPECT_EQ(seen.size(), 2u);  // the kills came at both kinds of moment
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace
}  // namespace zalvo::testing
