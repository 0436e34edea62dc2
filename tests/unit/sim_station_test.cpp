// The simulated station's own files: REGEDIT4 hives, refusals, the atomic
// file replace and the window list.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "agent/lock_screen_keeper.h"
#include "platform/error.h"
#include "platform/sim/file_calls.h"
#include "platform/sim/regedit4.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/station.h"
#include "tests/support/scoped_calls.h"

namespace zalvo::sim {
namespace {

using platform::Hive;

class TempStation : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "zalvo-sim-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root); }
  void Write(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories((root / relative).parent_path());
    WriteFileAtomically(root / relative, content);
  }
  std::string Read(const std::string& relative) { return ReadWholeFile(root / relative); }
  std::filesystem::path root;
};

TEST(Regedit4, ParsesStringsDwordsHexAndEscapes) {
  RegHive hive = ParseRegedit4("HKEY_LOCAL_MACHINE",
                               "REGEDIT4\n\n; a comment\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
                               "\"Name\"=\"a \\\"quoted\\\" C:\\\\path\"\n"
                               "\"Timer\"=dword:00000708\n"
                               "\"Negative\"=dword:ffffffff\n"
                               "\"Bin\"=hex:01,02,\\\n  03\n"
                               "\"Multi\"=hex(7):41,00\n"
                               "@=\"default\"\n"
                               "\"Cyr\"=\"Добре\"\n");
  RegKey* key = hive.Find("software\\test");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(FindValue(*key, "name")->data, "a \"quoted\" C:\\path");
  EXPECT_EQ(FindValue(*key, "Timer")->type, kRegDword);
  EXPECT_EQ(FindValue(*key, "Timer")->data, std::string("\x08\x07\0\0", 4));
  EXPECT_EQ(FindValue(*key, "Negative")->data, "\xff\xff\xff\xff");
  EXPECT_EQ(FindValue(*key, "Bin")->data, "\x01\x02\x03");
  EXPECT_EQ(FindValue(*key, "Multi")->type, 7u);
  EXPECT_EQ(FindValue(*key, "")->data, "default");
  EXPECT_EQ(FindValue(*key, "Cyr")->data, "\xC4\xEE\xE1\xF0\xE5");  // held as Windows-1251
  // Formatting and parsing again gives the same hive.
  RegHive again = ParseRegedit4("HKEY_LOCAL_MACHINE", FormatRegedit4(hive));
  ASSERT_NE(again.Find("SOFTWARE\\Test"), nullptr);
  EXPECT_EQ(again.Find("SOFTWARE\\Test")->values.size(), key->values.size());
  for (const RegValue& v : key->values) {
    RegValue* w = FindValue(*again.Find("SOFTWARE\\Test"), v.name);
    ASSERT_NE(w, nullptr) << v.name;
    EXPECT_EQ(w->type, v.type);
    EXPECT_EQ(w->data, v.data);
  }
}

TEST(Regedit4, ParentsOfWrittenKeysExistAndBadLinesAreReported) {
  RegHive hive = ParseRegedit4("HKEY_CURRENT_USER", "REGEDIT4\n[HKEY_CURRENT_USER\\A\\B\\C]\n");
  EXPECT_TRUE(hive.Exists("A"));
  EXPECT_TRUE(hive.Exists("a\\b"));
  EXPECT_TRUE(hive.Exists("A\\B\\C"));
  EXPECT_FALSE(hive.Exists("A\\B\\C\\D"));
  EXPECT_FALSE(hive.Exists("A\\Bx"));
  EXPECT_THROW(ParseRegedit4("HKEY_CURRENT_USER", "REGEDIT4\n\"v\"=\"1\"\n"), std::runtime_error);
  EXPECT_THROW(ParseRegedit4("HKEY_CURRENT_USER", "[HKEY_LOCAL_MACHINE\\X]\n"), std::runtime_error);
  EXPECT_THROW(ParseRegedit4("HKEY_CURRENT_USER", "[HKEY_CURRENT_USER\\X]\n\"v\"=dword:1g\n"),
               std::runtime_error);
}

TEST_F(TempStation, RegistryKeepsItsHivesInReadableFilesAndRereadsThem) {
  SimRegistry registry(root / "registry");
  EXPECT_EQ(registry.Open(Hive::kLocalMachine, "SOFTWARE\\X"), nullptr);
  auto key = registry.Create(Hive::kLocalMachine, "SOFTWARE\\X");
  ASSERT_NE(key, nullptr);
  key->WriteString("AutoAdminLogon", "1");
  key->WriteDword("LocalTimer", 1800);
  std::string file = Read("registry/HKEY_LOCAL_MACHINE.reg");
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]"), std::string::npos);
  EXPECT_NE(file.find("\"AutoAdminLogon\"=\"1\""), std::string::npos);
  EXPECT_NE(file.find("\"LocalTimer\"=dword:00000708"), std::string::npos);
  // A person edits the file while the key is open: the next read sees it.
  Write("registry/HKEY_LOCAL_MACHINE.reg",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"ZalvoLogon\"=\"0\"\n");
  EXPECT_EQ(key->ReadString("ZalvoLogon"), "0");
  EXPECT_EQ(key->ReadString("AutoAdminLogon"), std::nullopt);
  EXPECT_THROW(key->ReadDword("ZalvoLogon"), platform::PlatformError);
  // The key removed from the file: writes through the open key fail.
  Write("registry/HKEY_LOCAL_MACHINE.reg", "REGEDIT4\n");
  EXPECT_THROW(key->WriteString("A", "1"), platform::PlatformError);
}

// A string with a line feed can't be one quoted line; written as such it made
// the whole hive file unreadable, and with it every key of the hive.
TEST_F(TempStation, StringsWithLineEndsKeepTheHiveReadable) {
  SimRegistry registry(root / "registry");
  auto key = registry.Create(Hive::kCurrentUser, "Software\\X");
  ASSERT_NE(key, nullptr);
  key->WriteString("Text", "one\ntwo\r\n\"three\"\\");
  key->WriteString("Plain", "plain");
  EXPECT_EQ(key->ReadString("Text"), "one\ntwo\r\n\"three\"\\");
  SimRegistry reread(root / "registry");
  auto again = reread.Open(Hive::kCurrentUser, "Software\\X");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->ReadString("Text"), "one\ntwo\r\n\"three\"\\");
  EXPECT_EQ(again->ReadString("Plain"), "plain");
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg").find("\"Plain\"=\"plain\""), std::string::npos);
}

TEST_F(TempStation, DenyRulesRefuseOpensAndWrites) {
  Write("registry/HKEY_CURRENT_USER.reg",
        "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n[HKEY_CURRENT_USER\\Software\\B]\n");
  Write("registry/deny.txt",
        "# refusals\nopen [HKEY_CURRENT_USER\\Software\\A]\n"
        "write [HKEY_CURRENT_USER\\Software\\B] \"Locked\"\n");
  SimRegistry registry(root / "registry");
  EXPECT_EQ(registry.Open(Hive::kCurrentUser, "software\\a"), nullptr);
  EXPECT_EQ(registry.Create(Hive::kCurrentUser, "Software\\A"), nullptr);
  auto b = registry.Open(Hive::kCurrentUser, "Software\\B");
  ASSERT_NE(b, nullptr);
  b->WriteString("Free", "1");
  EXPECT_THROW(b->WriteString("locked", "1"), platform::PlatformError);
  EXPECT_EQ(b->ValueNames(), std::vector<std::string>{"Free"});
}

TEST_F(TempStation, FilesAreReplacedWholeAndMissingOnesFailToRead) {
  SimFiles files(root / "windows");
  std::filesystem::create_directories(root / "windows");
  std::string path = files.WindowsDirectory() + "\\krvini.ini";
  EXPECT_THROW(files.Read(path), platform::PlatformError);
  files.Replace(path, "A=1\r\n");
  files.Replace(path, "B=2\r\n");
  EXPECT_EQ(files.Read(path), "B=2\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "windows"),
                          std::filesystem::directory_iterator()),
            1);  // no temporary file left behind
  EXPECT_THROW(files.Replace(files.WindowsDirectory() + "\\no\\such.ini", "x"),
               platform::PlatformError);
}

// A save that fails at any step keeps the old file, leaves no temporary file
// and no open descriptor behind.
TEST_F(TempStation, AFailedSaveStepLeavesTheOldFileAndNothingOpen) {
  SimFiles files(root / "windows");
  std::filesystem::create_directories(root / "windows");
  std::string path = files.WindowsDirectory() + "\\krvini.ini";
  files.Replace(path, "A=1\r\n");
  auto open_descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
  };
  testing::ScopedCalls calls(ReplaceFileCalls());
  for (int failing = 0; failing < 3; ++failing) {
    *calls = calls.real();
    if (failing == 0) {
      calls->write = [](int, const void*, size_t) -> ssize_t {
        errno = ENOSPC;
        return -1;
      };
    } else if (failing == 1) {
      calls->fsync = [](int) {
        errno = EIO;
        return -1;
      };
    } else {
      calls->rename = [](const char*, const char*) noexcept {
        errno = EACCES;
        return -1;
      };
    }
    auto before = open_descriptors();
    EXPECT_THROW(files.Replace(path, "B=2\r\n"), platform::PlatformError) << failing;
    EXPECT_EQ(open_descriptors(), before) << failing;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "windows"),
                            std::filesystem::directory_iterator()),
              1)
        << failing;
    EXPECT_EQ(files.Read(path), "A=1\r\n") << failing;
  }
}

TEST_F(TempStation, DesktopFollowsTheWindowListAndJournalsItsActions) {
  Write("windows.txt",
        "# handle pid flags caption\n10 100 - Notepad - a.txt\n11 100 - \n"
        "12 200 F Калкулатор\n");
  Journal journal(root / "journal.log");
  SimDesktop desktop(root, journal);
  EXPECT_EQ(desktop.TopLevelWindows(), (std::vector<platform::WindowHandle>{10, 11, 12}));
  EXPECT_EQ(desktop.ForegroundWindow(), 12u);
  EXPECT_EQ(desktop.WindowCaption(12), "\xCA\xE0\xEB\xEA\xF3\xEB\xE0\xF2\xEE\xF0");
  EXPECT_EQ(desktop.WindowCaption(11), "");
  EXPECT_EQ(desktop.FindWindowByCaption("NOTEPAD - A.TXT"), 10u);
  EXPECT_EQ(desktop.WindowProcessId(10), 100u);
  platform::TopWindows::OwnerEnd end = desktop.EndWindowOwner("notepad - a.txt", 0);
  EXPECT_EQ(end.process_id, 100u);
  EXPECT_TRUE(end.ended);
  EXPECT_EQ(desktop.TopLevelWindows(), std::vector<platform::WindowHandle>{12});
  EXPECT_EQ(desktop.EndWindowOwner("Notepad - a.txt", 0).process_id, 0u);
  EXPECT_FALSE(desktop.TerminateProcess(0, 0));
  EXPECT_TRUE(desktop.EnablePrivilege("SeShutdownPrivilege"));  // no file: all held
  Write("privileges.txt", "SeSecurityPrivilege\n");
  EXPECT_FALSE(desktop.EnablePrivilege("SeShutdownPrivilege"));
  EXPECT_TRUE(desktop.EnablePrivilege("sesecurityprivilege"));
  desktop.ShutDownSystem(platform::PowerOff::kRestart);
  // Refused while the file says so, with its code and reason.
  Write("refuse-shutdown.txt", "1190 A system shutdown has already been scheduled.\n");
  try {
    desktop.ShutDownSystem(platform::PowerOff::kShutDown);
    ADD_FAILURE() << "not refused";
  } catch (const platform::PlatformError& e) {
    EXPECT_EQ(e.code(), 1190);
    EXPECT_STREQ(e.what(), "A system shutdown has already been scheduled.");
  }
  std::string log = Read("journal.log");
  EXPECT_NE(log.find("TerminateProcess 100 exit code 0"), std::string::npos);
  EXPECT_NE(log.find("InitiateSystemShutdownEx reboot (force, planned)\n"), std::string::npos);
  EXPECT_NE(log.find("InitiateSystemShutdownEx shut down (force, planned) refused: 1190 A system "
                     "shutdown has already been scheduled."),
            std::string::npos);
}

TEST_F(TempStation, SampleStationHasAServerAndKeepsExistingFiles) {
  Write("windows/krvini.ini", "ServerIP=10.0.0.1\r\n");
  Station::CreateSample(root, "127.0.0.1");
  EXPECT_EQ(Read("windows/krvini.ini"), "ServerIP=10.0.0.1\r\n");
  std::filesystem::remove(root / "windows" / "krvini.ini");
  Station::CreateSample(root, "127.0.0.1");
  EXPECT_NE(Read("windows/krvini.ini").find("ServerIP=127.0.0.1\r\n"), std::string::npos);
  Station station(root);
  EXPECT_NE(station.registry().Open(Hive::kLocalMachine,
                                    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"),
            nullptr);
  EXPECT_NE(station.desktop().ForegroundWindow(), 0u);
}

TEST_F(TempStation, TheConsoleIsWhatTheServicesLookSeesAndAnUnconfirmedLockEscalates) {
  const std::string installed(kInstalledLockScreen);
  const std::string copy = "C:\\Users\\zalvo\\zalvoc.exe";
  // A mark comes before the file, and a line keeps it.
  SimConsoleState state = ParseConsole("customer zalvo\nlockscreen 3000 locked frozen " +
                                       installed + "\nlockscreen 3001 locked " + copy + "\n");
  ASSERT_EQ(state.lock_screens.size(), 2u);
  EXPECT_EQ(state.lock_screens[0].mark, SimConsoleState::LockScreen::Mark::kFrozen);
  EXPECT_EQ(state.lock_screens[0].program, installed);
  EXPECT_EQ(state.lock_screens[1].mark, SimConsoleState::LockScreen::Mark::kNone);
  EXPECT_EQ(ParseConsole(FormatConsole(state)).lock_screens[0].mark,
            SimConsoleState::LockScreen::Mark::kFrozen);

  Write("registry/HKEY_LOCAL_MACHINE.reg",
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows "
        "NT\\CurrentVersion\\Winlogon]\n\"ZalvoLogon\"=\"0\"\n");
  Write("console.txt", FormatConsole(state));
  Station station(root);
  SimConsole& console = station.console();
  // A frozen one takes no lock order; a copy elsewhere is not looked at.
  platform::CoverLook look = console.LookAtCover();
  EXPECT_FALSE(look.covered);
  EXPECT_TRUE(look.lock_screen_window);
  EXPECT_EQ(look.seen, "the lock screen (process 3000) does not answer");
  EXPECT_EQ(console.TellToLock().told, 0u);

  auto Journal = [&] {
    return std::filesystem::exists(root / "journal.log") ? Read("journal.log") : std::string();
  };
  std::vector<std::string> log;
  agent::LockScreenUpkeep upkeep(
      console, station.registry(), [&](std::string_view line) { log.emplace_back(line); },
      &console);
  // Ended when its 15 s and 10 s more are over, and another started and
  // locked, which the look confirms.
  uint64_t now = 1000;
  for (; now <= 25000; now += 1000) {
    upkeep.Upkeep(now, false);
  }
  EXPECT_EQ(Journal().find("ended by the service"), std::string::npos);
  upkeep.Upkeep(now += 1000, false);
  upkeep.Upkeep(now += 1000, false);
  const std::string journal = Journal();
  EXPECT_NE(journal.find("lock screen ended by the service (process 3000)"), std::string::npos);
  EXPECT_NE(journal.find("lock screen locked at the service's word (process 3002)"),
            std::string::npos)
      << journal;
  EXPECT_TRUE(console.LookAtCover().covered);
  for (int i = 0; i < 30; ++i) {
    upkeep.Upkeep(now += 1000, false);
  }

  // The customer keeps a window over each new one: ended once, then the
  // customer is logged off 30 s after that end.
  auto customer = [&] { return ParseConsole(Read("console.txt")).user; };
  for (int i = 0; i < 60 && customer() == SimConsoleState::User::kCustomer; ++i) {
    std::string text = Read("console.txt");
    for (size_t at = text.find("locked " + installed); at != std::string::npos;
         at = text.find("locked " + installed, at + 1)) {
      text.insert(at + 7, "covered ");
    }
    Write("console.txt", text);
    upkeep.Upkeep(now += 1000, false);
  }
  EXPECT_EQ(customer(), SimConsoleState::User::kNobody);
  upkeep.Upkeep(now += 1000, false);
  const std::string after = Journal().substr(journal.size());
  EXPECT_NE(after.find("lock screen ended by the service (process 3002)"), std::string::npos);
  EXPECT_NE(after.find("the customer zalvo logged off by the service"), std::string::npos) << after;
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "the lock is still not confirmed (another window is over the lock screen "
                       "(process 3002)): the customer's Windows session is logged off"),
            1)
      << ::testing::PrintToString(log);
  EXPECT_EQ(log.back(), "the customer is no longer logged on at the console");
}

}  // namespace
}  // namespace zalvo::sim
