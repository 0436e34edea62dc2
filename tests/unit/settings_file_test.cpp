#include <gtest/gtest.h>

#include "settings/passwords.h"
#include "settings/settings_file.h"

namespace zalvo::settings {
namespace {

TEST(SettingsFilePath, JoinsDirectoryAndNameWithoutLimit) {
  EXPECT_EQ(SettingsFilePath("C:\\WINDOWS", kSettingsFileName), "C:\\WINDOWS\\krvini.ini");
  std::string long_dir = "D:\\" + std::string(300, 'x');
  EXPECT_EQ(SettingsFilePath(long_dir, kPasswordFileName), long_dir + "\\krv.krv");
}

TEST(SplitLines, EndsLinesAtCrLfCrOrLfAndStopsAtZero) {
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\n"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitLines(std::string_view("a=1\r\nb=2\0c=3\r\n", 14)),
            (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_TRUE(SplitLines("").empty());
}

TEST(SettingsText, FirstLineWhoseKeyMatchesWithoutCaseWins) {
  SettingsText file("Beep=1\r\nbeep=0\r\nproxyenable=1\r\nStartPage=http://x/?a=b\r\n");
  EXPECT_EQ(file.Value("Beep"), "1");
  EXPECT_TRUE(file.Flag("ProxyEnable"));
  EXPECT_EQ(file.Value("StartPage"), "http://x/?a=b");  // later "=" belong to the value
  EXPECT_EQ(file.Value("Missing"), "");
}

TEST(SettingsText, KeyAndValueAreTakenExactly) {
  SettingsText file("ProxyEnable = 1\r\nHide= 1\r\nBeep=true\r\nNoRun=01\r\nNoFind=1 \r\nx\r\n");
  EXPECT_FALSE(file.Flag("ProxyEnable"));  // the name with a trailing blank does not match
  EXPECT_EQ(file.Value("Hide"), " 1");
  EXPECT_FALSE(file.Flag("Hide"));
  EXPECT_FALSE(file.Flag("Beep"));
  EXPECT_FALSE(file.Flag("NoRun"));
  EXPECT_FALSE(file.Flag("NoFind"));
  EXPECT_EQ(file.Value("x"), "");  // a line without "=" names no key
}

TEST(FormatSettingsFile, WritesKeyValueCrLfAndLeavesOutEmptyValues) {
  EXPECT_EQ(FormatSettingsFile({{"A", "1"}, {"B", ""}, {"C", "x=y"}}), "A=1\r\nC=x=y\r\n");
  EXPECT_EQ(FormatSettingsFile({}), "");
}

TEST(Passwords, ScrambleIsXorWithFourteenOnTheFirst255Bytes) {
  EXPECT_EQ(ScramblePassword("qwmzvk"), "\x7f\x79\x63\x74\x78\x65");
  EXPECT_EQ(UnscramblePassword(ScramblePassword("tewl")), "tewl");
  std::string long_text(300, 'a');
  EXPECT_EQ(ScramblePassword(long_text).size(), 255u);
  EXPECT_EQ(UnscramblePassword(std::string(300, 'o')), std::string(255, 'a'));
}

}  // namespace
}  // namespace zalvo::settings
