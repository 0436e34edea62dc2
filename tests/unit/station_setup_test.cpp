#include "settings/station_setup.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "settings/passwords.h"
#include "settings/settings_file.h"
#include "tests/support/memory_files.h"

namespace zalvo::settings {
namespace {

using zalvo::testing::MemoryFiles;

const std::string kIni = "C:\\WINDOWS\\krvini.ini";
const std::string kKrv = "C:\\WINDOWS\\krv.krv";

TEST(ServerAddress, OnlyTheFormTheAgentMatchesPasses) {
  for (const char* good : {"192.168.1.10", "0.0.0.0", "255.255.255.255", "10.0.0.1"}) {
    EXPECT_TRUE(IsServerAddress(good)) << good;
  }
  for (const char* bad :
       {"192.168.001.10", "01.2.3.4", "1.2.3.00",  "1.2.3.4.5", "1.2.3",      "1.2.3.4:6767",
        "server",         "",         "256.1.1.1", "1..2.3",    "1.2.3.4.",   ".1.2.3",
        " 1.2.3.4",       "1.2.3.4 ", "+1.2.3.4",  "1.2.3.-4",  "1.2.3.1000",
        "1.2.3.\xB2",         // superscript two in Windows-1251
        "1.2.3.\xC2\xB2",     // and in UTF-8
        "1.2.3.\xD9\xA3"}) {  // an Arabic-Indic digit
    EXPECT_FALSE(IsServerAddress(bad)) << bad;
  }
}

TEST(WithValue, ChangesOnlyTheValueOfTheFirstLineOfTheKey) {
  // Mixed line ends, a lower-case key, a second line of the key (never read)
  // and Cyrillic text all stay byte for byte.
  const std::string file =
      "SearchPage=x\r\nserverip=1.1.1.1\nWallpaper=\xCA\xE0\xF0\r\rServerIP=2.2.2.2\r\nBeep=1";
  EXPECT_EQ(
      WithValue(file, "ServerIP", "10.0.0.5"),
      "SearchPage=x\r\nserverip=10.0.0.5\nWallpaper=\xCA\xE0\xF0\r\rServerIP=2.2.2.2\r\nBeep=1");
  EXPECT_EQ(SettingsText(WithValue(file, "ServerIP", "10.0.0.5")).Value("ServerIP"), "10.0.0.5");
  // The last line without its line end, and a key the file lacks.
  EXPECT_EQ(WithValue("Beep=1\r\nServerIP=1.1.1.1", "SERVERIP", "3.3.3.3"),
            "Beep=1\r\nServerIP=3.3.3.3");
  EXPECT_EQ(WithValue("Beep=1", "ServerIP", "3.3.3.3"), "Beep=1\r\nServerIP=3.3.3.3\r\n");
  EXPECT_EQ(WithValue("", "p", "x"), "p=x\r\n");
  // "ps" is not "p"; a line after a zero byte is never read, so the new line
  // goes before it.
  EXPECT_EQ(WithValue("ps=1\r\n", "p", "2"), "ps=1\r\np=2\r\n");
  EXPECT_EQ(WithValue(std::string("Beep=1\r\n\0p=old\r\n", 17), "p", "new"),
            std::string("Beep=1\r\np=new\r\n\0p=old\r\n", 24));
}

TEST(StationSetup, RefusesBadValuesAndANewStationWithoutServer) {
  StationSetup none;
  EXPECT_TRUE(SetupProblems(none, true).empty());  // an upgrade keeps everything
  ASSERT_EQ(SetupProblems(none, false).size(), 1u);

  StationSetup bad{"192.168.1.010", std::string("nine_char"), std::string("")};
  std::vector<std::string> problems = SetupProblems(bad, true);
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_NE(problems[0].find("192.168.1.010"), std::string::npos);
  EXPECT_NE(problems[1].find("longer than 8"), std::string::npos);
  EXPECT_NE(problems[2].find("empty"), std::string::npos);
  EXPECT_TRUE(PasswordProblem("a\r\nps=").has_value());
  EXPECT_FALSE(PasswordProblem("\xE0\xE1\xE2 8 \xFF!").has_value());  // 8 bytes of Windows-1251
}

TEST(StationSetup, WritesANewStationThenRewritesOnlyWhatIsGiven) {
  MemoryFiles files;
  ASSERT_FALSE(SettingsFileExists(files));
  ApplySetup(files, {"192.168.1.10", std::nullopt, std::nullopt});
  SettingsText first(files.files[kIni]);
  EXPECT_EQ(first.Value("ServerIP"), "192.168.1.10");
  EXPECT_EQ(first.Value("SendDataTime"), "60");
  EXPECT_EQ(files.files.count(kKrv), 0u);  // no password given, none written
  EXPECT_TRUE(SettingsFileExists(files));

  // The passwords are the service's to keep: never a plain file.
  files.files[kIni] = "Beep=1\nServerIP=192.168.1.10\r\nHide=0";
  files.files.erase(kKrv);
  std::vector<std::string> done =
      ApplySetup(files, {"10.1.1.1", std::string("\xC0\xE4\xEC\xE8\xED"), std::string("4")});
  EXPECT_EQ(done.size(), 1u);
  EXPECT_EQ(files.files[kIni], "Beep=1\nServerIP=10.1.1.1\r\nHide=0");
  EXPECT_EQ(files.files.count(kKrv), 0u);

  // A refused write throws, and nothing reports success.
  files.refuse_writes = true;
  EXPECT_THROW(ApplySetup(files, {"10.2.2.2", std::nullopt, std::nullopt}),
               platform::PlatformError);
  EXPECT_EQ(SettingsText(files.files[kIni]).Value("ServerIP"), "10.1.1.1");
}

}  // namespace
}  // namespace zalvo::settings
