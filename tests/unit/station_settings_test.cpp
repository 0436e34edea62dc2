#include <gtest/gtest.h>

#include <random>

#include "settings/settings_file.h"
#include "settings/station_settings.h"

namespace zalvo::settings {
namespace {

TEST(StationSettings, AgentInitialValuesHaveOnlyHideAndPlayGameOn) {
  StationSettings s = StationSettings::AgentInitial();
  for (const KeyInfo& info : KeyTable()) {
    if (info.kind == Kind::Flag) {
      EXPECT_EQ(s.Flag(info.key), info.key == Key::Hide || info.key == Key::PlayGame) << info.name;
    } else {
      EXPECT_EQ(s.Text(info.key), "") << info.name;
    }
  }
}

TEST(KeyTable, HasTheFortyTwoKeysInFileOrder) {
  ASSERT_EQ(KeyTable().size(), 42u);
  EXPECT_EQ(KeyTable().front().name, "SearchPage");
  EXPECT_EQ(Info(Key::PlayMusic).name, "PlayMusic");
  EXPECT_EQ(KeyTable()[10].name, "ServerIP");
  EXPECT_EQ(KeyTable().back().name, "PlayGame");
  for (size_t i = 0; i < KeyTable().size(); ++i) {
    EXPECT_EQ(Index(KeyTable()[i].key), i);
  }
}

TEST(ParseAgentSettings, ReadsFlagsTextsAndNumbers) {
  AgentLoad load = ParseAgentSettings(
      "ServerIP=192.168.1.10\r\nProxyEnable=1\r\nProxyServer=proxy\r\nProxyPort=3128\r\n"
      "Beep=1\r\nNoDrives=1\r\nClosePasswordForm=5\r\nSendDataTime=30\r\nAutoShutDownSec=-2\r\n"
      "PlayMusic=x.mid\r\n");
  EXPECT_EQ(load.settings.Text(Key::ServerIP), "192.168.1.10");
  EXPECT_TRUE(load.settings.Flag(Key::ProxyEnable));
  EXPECT_EQ(load.settings.Text(Key::ProxyServer), "proxy");
  EXPECT_EQ(load.settings.Text(Key::ProxyPort), "3128");
  EXPECT_TRUE(load.settings.Flag(Key::Beep));
  EXPECT_TRUE(load.settings.Flag(Key::NoDrives));
  EXPECT_FALSE(load.settings.Flag(Key::Hide));  // absent: off, whatever it was
  EXPECT_FALSE(load.settings.Flag(Key::PlayGame));
  EXPECT_EQ(load.check_period, 5);
  EXPECT_EQ(load.report_period, 30);
  EXPECT_EQ(load.grace_seconds, -2);
  EXPECT_EQ(load.settings.Text(Key::PlayMusic), "");  // not among the agent's keys
}

TEST(ParseAgentSettings, NumbersDefaultWhenEmptyOrAbsentAndKeepInvalidText) {
  AgentLoad absent = ParseAgentSettings("ClosePasswordForm=\r\n");
  EXPECT_EQ(absent.settings.Text(Key::ClosePasswordForm), "10");
  EXPECT_EQ(absent.settings.Text(Key::SendDataTime), "60");
  EXPECT_EQ(absent.settings.Text(Key::AutoShutDownSec), "6000");
  EXPECT_EQ(absent.check_period, 10);
  EXPECT_EQ(absent.report_period, 60);
  EXPECT_EQ(absent.grace_seconds, 6000);

  AgentLoad letters = ParseAgentSettings("SendDataTime=abc\r\nClosePasswordForm= 7 \r\n");
  EXPECT_EQ(letters.report_period, 60);
  EXPECT_EQ(letters.settings.Text(Key::SendDataTime), "abc");
  EXPECT_EQ(letters.check_period, 10);  // a trailing blank is not an integer
  EXPECT_EQ(letters.settings.Text(Key::ClosePasswordForm), " 7 ");
  std::string saved = FormatAgentSettings(letters.settings);
  EXPECT_NE(saved.find("SendDataTime=abc\r\n"), std::string::npos);
  EXPECT_NE(saved.find("ClosePasswordForm= 7 \r\n"), std::string::npos);
}

TEST(FormatAgentSettings, WritesFortyOneLinesInTableOrderWithoutPlayMusic) {
  AgentLoad load = ParseAgentSettings(
      "StartPage=s\r\nPlayMusic=m.mid\r\nProxyServer=p\r\nProxyPort=1\r\nProxyOverride=o\r\n"
      "SearchList=l\r\nWallpaper=w\r\nServerIP=1.2.3.4\r\nBroadcastIP=1.2.3.255\r\nBeep=1\r\n"
      "Beep=0\r\nunknown=1\r\n");
  std::string saved = FormatAgentSettings(load.settings);
  std::vector<std::string> lines = SplitLines(saved);
  ASSERT_EQ(lines.size(), 41u);
  EXPECT_EQ(lines[0], "SearchPage=" + std::string(kSearchPageUrl));
  EXPECT_EQ(lines[1], "StartPage=s");
  EXPECT_EQ(lines[2], "ProxyEnable=0");
  EXPECT_EQ(lines[15], "Beep=1");  // one line, from the first of the two
  EXPECT_EQ(lines.back(), "PlayGame=0");
  EXPECT_EQ(saved.find("PlayMusic"), std::string::npos);
  EXPECT_EQ(saved.find("unknown"), std::string::npos);
  // Every line ends CR LF, the last included, and there is no bare LF.
  size_t crlf = 0;
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i] == '\n') {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(saved[i - 1], '\r');
      ++crlf;
    }
  }
  EXPECT_EQ(crlf, 41u);
  EXPECT_EQ(saved.substr(saved.size() - 2), "\r\n");
}

TEST(FormatAgentSettings, EmptyTextsAreLeftOut) {
  StationSettings initial = StationSettings::AgentInitial();
  std::string saved = FormatAgentSettings(initial);
  EXPECT_EQ(saved.find("ProxyOverride"), std::string::npos);
  EXPECT_EQ(saved.find("ServerIP"), std::string::npos);
  EXPECT_EQ(saved.find("ClosePasswordForm"), std::string::npos);
  EXPECT_NE(saved.find("Hide=1\r\n"), std::string::npos);
  EXPECT_EQ(SplitLines(saved).size(), 30u);  // SearchPage and the 29 flags
}

}  // namespace
}  // namespace zalvo::settings

namespace zalvo::settings {
namespace {

// Files that are not what a save writes: the load reads what lines there
// are, by the same rules, and never fails.
TEST(ParseAgentSettings, FilesThatAreNotSettingsLoadByTheSameRules) {
  AgentLoad empty = ParseAgentSettings("");
  EXPECT_EQ(empty.settings.Text(Key::ServerIP), "");
  EXPECT_FALSE(empty.settings.Flag(Key::Hide));
  EXPECT_EQ(empty.report_period, 60);
  EXPECT_EQ(empty.check_period, 10);

  std::mt19937 random(8);
  std::string binary(1 << 16, '\0');
  for (char& c : binary) {
    c = static_cast<char>(random());
  }
  binary[0] = '\x01';  // a zero first byte would end the file at once
  EXPECT_NO_THROW(ParseAgentSettings(binary));

  const std::string huge(1 << 20, 'x');
  AgentLoad one_line = ParseAgentSettings("ServerIP=" + huge);  // no line end either
  EXPECT_EQ(one_line.settings.Text(Key::ServerIP), huge);
  EXPECT_EQ(ParseAgentSettings("SendDataTime=" + huge + "\r\n").report_period, 60);

  // The text ends at a zero byte: what follows it is not read.
  AgentLoad zero =
      ParseAgentSettings(std::string("ServerIP=1.2.3.4\r\nHi\0de=1\r\nBeep=1\r\n", 35));
  EXPECT_EQ(zero.settings.Text(Key::ServerIP), "1.2.3.4");
  EXPECT_FALSE(zero.settings.Flag(Key::Beep));

  // Ten thousand lines of one key: the first wins, the others are kept out
  // of the next save.
  std::string duplicates;
  for (int i = 0; i < 10000; ++i) {
    duplicates += "serverip=10.0.0." + std::to_string(i % 250) + "\r\n";
  }
  AgentLoad many = ParseAgentSettings(duplicates + "SendDataTime=5\r\n");
  EXPECT_EQ(many.settings.Text(Key::ServerIP), "10.0.0.0");
  EXPECT_EQ(many.report_period, 5);
  const std::string saved = FormatAgentSettings(many.settings);
  EXPECT_EQ(saved.find("ServerIP="), saved.rfind("ServerIP="));
}

}  // namespace
}  // namespace zalvo::settings
