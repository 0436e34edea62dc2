// The agent's two threads in one process over a simulated station: commands
// arrive while the tick runs, the settings are reloaded while the tick reads
// the periods, and the service is paused and continued meanwhile. Built
// with ThreadSanitizer in CI (the tsan preset), where any unguarded access
// between the receive loop, the worker and the service control is reported.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "agent/assembly.h"
#include "agent/command_dispatcher.h"
#include "agent/runtime.h"
#include "platform/datagram_socket.h"
#include "platform/sim/station.h"
#include "tests/support/server_peer.h"

namespace zalvo::testing {
namespace {

using namespace std::chrono_literals;

std::filesystem::path NewStationFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zalvo-runtime-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

std::string SettingsWithPeriods(int report_period, int check_period) {
  return "ServerIP=127.0.0.1\r\nSendDataTime=" + std::to_string(report_period) +
         "\r\nClosePasswordForm=" + std::to_string(check_period) +
         "\r\nAutoShutDown=1\r\nAutoShutDownSec=" + std::to_string(report_period * 7) +
         "\r\nBeep=1\r\n";
}

// One agent as zalvos builds it, with a 1 ms tick.
struct InProcessAgent {
  explicit InProcessAgent(sim::Station& station)
      : socket(platform::MakeUdpSocket()),
        assembled(*socket,
                  {station.registry(), station.files(), station.desktop(), &station.mixer()}, {}),
        state(assembled.state),
        runtime(assembled.dispatcher, assembled.gate, *socket, {1ms}) {}

  std::unique_ptr<platform::DatagramSocket> socket;
  agent::AssembledAgent assembled;
  agent::AgentState& state;
  agent::AgentRuntime runtime;
};

class RuntimeUnderLoad : public ::testing::Test {
 protected:
  RuntimeUnderLoad()
      : root_(NewStationFolder()),
        station_((sim::Station::CreateSample(root_, "127.0.0.1"), root_)),
        agent_(std::make_unique<InProcessAgent>(station_)),
        runtime_(agent_->runtime),
        state_(agent_->state) {}
  ~RuntimeUnderLoad() override {
    agent_.reset();
    std::filesystem::remove_all(root_);
  }

  // Sends the command and waits for a "PING" (the tick's keep-alive may be
  // the one that comes: the test checks the outcome in the state at the end).
  bool Answered(const std::string& command) {
    server_.Send(command);
    for (int waited = 0; waited < 5; ++waited) {
      auto reply = server_.Receive(1000);
      if (reply == "PING") {
        return true;
      }
    }
    return false;
  }

  // The last command of a test, whose outcome it then checks: with the tick
  // paused no keep-alive can come, and the agent handles datagrams in their
  // order, so once the list that "ACTION PROCESS" asks for arrives, the
  // command before it has been carried out, and the "PING" just before the
  // list is its own.
  bool AnsweredLast(const std::string& command) {
    runtime_.Pause();
    server_.Send(command);
    server_.Send("ACTION PROCESS");
    std::string before;
    for (int waited = 0; waited < 50; ++waited) {
      auto reply = server_.Receive(1000);
      if (reply && reply->rfind("PROCESS LIST:", 0) == 0) {
        return before == "PING";
      }
      before = reply.value_or("");
    }
    return false;
  }

  void WriteSettings(const std::string& bytes) {
    station_.files().Replace(station_.files().WindowsDirectory() + "\\krvini.ini", bytes);
  }

  std::filesystem::path root_;
  sim::Station station_;
  ServerPeer server_;
  std::unique_ptr<InProcessAgent> agent_;
  agent::AgentRuntime& runtime_;
  agent::AgentState& state_;
};

// Pauses and continues the worker until told to stop, as the service
// control manager may at any moment.
class ServiceControlStorm {
 public:
  explicit ServiceControlStorm(agent::AgentRuntime& runtime)
      : thread_([this, &runtime] {
          while (!done_.load()) {
            runtime.Pause();
            std::this_thread::sleep_for(1ms);
            runtime.Continue();
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  ~ServiceControlStorm() {
    done_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(RuntimeUnderLoad, CommandsAreCarriedOutWhileTheTickRunsAndTheServiceIsControlled) {
  WriteSettings(SettingsWithPeriods(5, 3));
  runtime_.Start();
  ASSERT_TRUE(server_.WaitForAgent());
  const std::vector<std::string> commands = {
      "ACTION SIT 30",      "ACTION INFO",       "HELLO",
      "ACTION VOLUME 40",   "ACTION PROCESS",    "ACTION STAND",
      "ACTION MONITOR OFF", "ACTION MONITOR ON", "ACTION PROXY 0 host PORT 81",
      "ACTION SIT 7"};
  int unanswered = 0;
  {
    ServiceControlStorm storm(runtime_);
    for (int round = 0; round < 30; ++round) {
      for (const std::string& command : commands) {
        unanswered += Answered(command) ? 0 : 1;
      }
    }
  }
  EXPECT_TRUE(AnsweredLast("ACTION SIT 7"));
  runtime_.Stop();
  EXPECT_EQ(unanswered, 0);
  EXPECT_TRUE(state_.session_active);
  EXPECT_EQ(state_.remaining_seconds, 7 * 60);
  EXPECT_EQ(state_.settings.Text(settings::Key::ProxyPort), "81");
}

TEST_F(RuntimeUnderLoad, SettingsReloadWhileTheTickReadsThePeriods) {
  WriteSettings(SettingsWithPeriods(2, 2));
  runtime_.Start();
  ASSERT_TRUE(server_.WaitForAgent());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; !done.load(); ++i) {
      WriteSettings(SettingsWithPeriods(1 + i % 5, 1 + i % 3));
      std::this_thread::sleep_for(1ms);
    }
  });
  int unanswered = 0;
  for (int i = 0; i < 150; ++i) {
    unanswered += Answered(i % 3 == 0 ? "ACTION SIT 1" : "ACTION INI") ? 0 : 1;
  }
  done.store(true);
  writer.join();
  WriteSettings(SettingsWithPeriods(6, 4));
  EXPECT_TRUE(AnsweredLast("ACTION INI"));
  runtime_.Stop();
  EXPECT_EQ(unanswered, 0);
  EXPECT_EQ(state_.report_period, 6);
  EXPECT_EQ(state_.check_period, 4);
  EXPECT_EQ(state_.grace_seconds, 42);
}

TEST_F(RuntimeUnderLoad, StopEndsBothThreadsWhateverTheyAreDoing) {
  WriteSettings(SettingsWithPeriods(1, 1));
  agent_.reset();
  for (int round = 0; round < 20; ++round) {
    InProcessAgent agent(station_);
    agent.runtime.Start();
    std::atomic<bool> done{false};
    std::thread sender([&] {
      while (!done.load()) {
        server_.Send("ACTION INFO");
        std::this_thread::sleep_for(100us);
      }
    });
    if (round % 2 == 1) {
      agent.runtime.Pause();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    agent.runtime.Stop();  // a hang here ends the test at its time limit
    done.store(true);
    sender.join();
    server_.ReceiveUntilQuiet(20);
  }
}

}  // namespace
}  // namespace zalvo::testing
