// zalvos.exe under Wine against real windows: a helper program's window is
// listed by "ACTION PROCESS" with its caption upper-cased, "ACTION KILL" with
// that caption ends the helper's process, and "ACTION RUN" starts the helper.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/error.h"
#include "platform/win32/files.h"
#include "platform/win32/wide.h"
#include "tests/e2e/agent_harness.h"
#include "tests/support/child_process.h"
#include "tests/support/server_peer.h"

namespace zalvo::testing {
namespace {

using Replies = std::vector<std::string>;

constexpr const char* kSettings =
    "ServerIP=127.0.0.1\r\nPlayGame=0\r\nFreeDisk=0\r\nSendDataTime=150\r\n";

std::string HelperPath() {
  return BuiltProgramPath(WINDOW_HELPER);
}

std::string TempFile(const std::string& name) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, temp);
  return win32::Narrow(temp) + name;
}

class ProgramsUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    harness = AgentHarness::Create();
    harness->WriteSettings(kSettings);
    harness->Start(1000);
    ASSERT_TRUE(server.WaitForAgent());
  }
  void TearDown() override {
    if (HasFailure()) {
      std::printf("--- agent output ---\n%s\n", harness->Output().c_str());
    }
    harness->Stop();
  }
  // The "PROCESS LIST:" reply, asked for until it holds the entry (or not).
  bool ListHolds(const std::string& entry, bool wanted) {
    for (int i = 0; i < 100; ++i) {
      Replies replies = server.Exchange("ACTION PROCESS");
      if (!replies.empty()) {
        last_list = replies.front();
      }
      bool holds = last_list.find(entry) != std::string::npos;
      if (holds == wanted) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  ServerPeer server;
  std::unique_ptr<AgentHarness> harness;
  std::string last_list;
};

TEST_F(ProgramsUnderWine, AListedWindowIsEndedByItsUpperCasedCaption) {
  // "Zalvo helper тест": only the Latin letters are upper-cased in the list.
  const std::string caption = "Zalvo helper \xF2\xE5\xF1\xF2";
  const std::string listed = "ZALVO HELPER \xF2\xE5\xF1\xF2";
  auto helper = StartProcess(HelperPath(), {"--caption", caption, "--seconds", "120"},
                             TempFile("zalvo-helper-kill.txt"));
  ASSERT_TRUE(ListHolds("\"" + listed + "\"", true)) << last_list;
  EXPECT_EQ(last_list.rfind("PROCESS LIST:", 0), 0u);

  EXPECT_EQ(server.Exchange("ACTION KILL " + listed), Replies{"PING"});
  for (int i = 0; i < 100 && helper->Running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(helper->Running());
  EXPECT_EQ(helper->ExitCode(), 0);  // ended by the agent, not by its own time limit
  EXPECT_TRUE(ListHolds(listed, false)) << last_list;
}

TEST_F(ProgramsUnderWine, RunStartsAProgramInItsOwnFolderWithTheParametersWhole) {
  const std::string program = HelperPath();
  ASSERT_EQ(program.find(' '), std::string::npos) << "the command line is cut at the first blank";
  const std::string folder = program.substr(0, program.rfind('\\'));
  const std::string touched = folder + "\\zalvo-helper-run.txt";
  DeleteFileW(win32::Widen(touched).c_str());

  EXPECT_EQ(
      server.Exchange("ACTION RUN " + program + " --seconds 120 --caption ZalvoRunHelper --touch " +
                      touched + " and three words"),
      Replies{"PING"});
  win32::Win32Files files;
  std::string content;
  for (int i = 0; i < 100 && content.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    try {
      content = files.Read(touched);
    } catch (const platform::PlatformError&) {
    }
  }
  ASSERT_FALSE(content.empty()) << "the program did not start";
  // Started in the program's own folder, with every parameter after the first blank.
  std::string directory = content.substr(0, content.find('\n'));
  if (!directory.empty() && directory.back() == '\\') {
    directory.pop_back();
  }
  EXPECT_EQ(directory, folder);
  EXPECT_NE(content.find("\n--seconds\n120\n--caption\nZalvoRunHelper\n--touch\n" + touched +
                         "\nand\nthree\nwords\n"),
            std::string::npos)
      << content;

  ASSERT_TRUE(ListHolds("ZALVORUNHELPER", true)) << last_list;
  // Started by a thread of the agent's: the outcome comes to the log when known.
  EXPECT_TRUE(harness->Printed("run: " + program + " started"));
  EXPECT_EQ(server.Exchange("ACTION KILL ZALVORUNHELPER"), Replies{"PING"});
  EXPECT_TRUE(ListHolds("ZALVORUNHELPER", false)) << last_list;
  DeleteFileW(win32::Widen(touched).c_str());
}

}  // namespace
}  // namespace zalvo::testing
