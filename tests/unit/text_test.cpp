#include <gtest/gtest.h>

#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::text {
namespace {

TEST(ParseInt32, AcceptsDecimalHexSignAndLeadingBlanks) {
  EXPECT_EQ(ParseInt32("30"), 30);
  EXPECT_EQ(ParseInt32("   30"), 30);
  EXPECT_EQ(ParseInt32("-5"), -5);
  EXPECT_EQ(ParseInt32("+7"), 7);
  EXPECT_EQ(ParseInt32("  -0"), 0);
  EXPECT_EQ(ParseInt32("$1F"), 31);
  EXPECT_EQ(ParseInt32("0x1f"), 31);
  EXPECT_EQ(ParseInt32("-$10"), -16);
  EXPECT_EQ(ParseInt32("007"), 7);
}

TEST(ParseInt32, HoldsTheSigned32BitRangeExactly) {
  EXPECT_EQ(ParseInt32("2147483647"), 2147483647);
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(ParseInt32("$7FFFFFFF"), 2147483647);
  EXPECT_EQ(ParseInt32("2147483648"), std::nullopt);
  EXPECT_EQ(ParseInt32("-2147483649"), std::nullopt);
  EXPECT_EQ(ParseInt32("$80000000"), std::nullopt);
  EXPECT_EQ(ParseInt32("99999999999999999999999"), std::nullopt);
}

TEST(ParseInt32, RefusesEverythingElse) {
  for (const char* bad : {"", " ", "-", "+", "$", "0x", "30 ", "3 0", "abc", "1.5", "12a", "\t5",
                          "--5", "0X10", "$G", "1e3"}) {
    EXPECT_EQ(ParseInt32(bad), std::nullopt) << "\"" << bad << "\"";
  }
}

TEST(UpperLatin, ChangesOnlyTheLettersAToZ) {
  // "Игра" in Windows-1251 stays as it is; the Latin letters become capitals.
  const std::string cyrillic = "\xC8\xe3\xf0\xe0";
  EXPECT_EQ(UpperLatin("notepad - " + cyrillic + " {x}"), "NOTEPAD - " + cyrillic + " {X}");
  EXPECT_EQ(UpperLatin("az AZ 09 `{"), "AZ AZ 09 `{");
}

TEST(CaseInsensitiveCompare, ComparesLatinLettersOnlyWithoutCase) {
  EXPECT_TRUE(EqualsIgnoreCase("ProxyEnable", "proxyenable"));
  EXPECT_FALSE(EqualsIgnoreCase("ProxyEnable ", "ProxyEnable"));
  EXPECT_FALSE(EqualsIgnoreCase("\xC0", "\xE0"));  // Cyrillic А and а are not folded
  EXPECT_TRUE(LessIgnoreCase("10", "2"));
  EXPECT_TRUE(LessIgnoreCase("1", "10"));
  EXPECT_FALSE(LessIgnoreCase("B", "a"));
  EXPECT_TRUE(LessIgnoreCase("a", "B"));
}

TEST(CommaText, QuotesEntriesWithBlanksControlsQuotesOrCommas) {
  EXPECT_EQ(CommaText({}), "");
  EXPECT_EQ(CommaText({"NOTEPAD", "CALC"}), "NOTEPAD,CALC");
  EXPECT_EQ(CommaText({"MY GAME", "A,B", "SAY \"HI\"", "TAB\tX", "PLAIN"}),
            "\"MY GAME\",\"A,B\",\"SAY \"\"HI\"\"\",\"TAB\tX\",PLAIN");
  EXPECT_EQ(CommaText({"SAME", "SAME"}), "SAME,SAME");
}

TEST(EscapeControls, WritesEveryC0ByteAndDelAsHexAndKeepsEveryOtherByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  const std::string shown = EscapeControls(all);
  EXPECT_EQ(shown.substr(0, 12), "\\x00\\x01\\x02");
  EXPECT_EQ(shown.find_first_of(std::string("\0\r\n\x1b\x7f", 5)), std::string::npos);
  // 32 control characters and DEL take four bytes each; the rest one.
  EXPECT_EQ(shown.size(), 256u + 33u * 3u);
  EXPECT_EQ(shown.substr(shown.size() - 128 - 4), "\\x7f" + all.substr(128));
  EXPECT_EQ(EscapeControls("PLAYGAME=x\r\n2026-01-01 forged"),
            "PLAYGAME=x\\x0d\\x0a2026-01-01 forged");
}

TEST(Cp1251, RoundTripsEveryByteThroughUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) {
    all.push_back(static_cast<char>(b));
  }
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all);
  EXPECT_EQ(Cp1251ToUtf8("\xC4\xEE\xE1\xF0\xE5"), "Добре");
  EXPECT_EQ(Utf8ToCp1251("мин."), "\xEC\xE8\xED.");
}

TEST(Cp1251, UnmappableAndMalformedUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");                        // a Chinese character
  EXPECT_EQ(Utf8ToCp1251("a\xC3"), "a?");  // cut sequence
  EXPECT_EQ(Utf8ToCp1251("\xFF"
                         "x"),
            "?x");
  // Overlong forms of a line feed, a zero byte, a quote and a Cyrillic letter.
  EXPECT_EQ(Utf8ToCp1251("[\xC0\x8A]"), "[?]");
  EXPECT_EQ(Utf8ToCp1251("\xC0\x80|\xE0\x80\xA2|\xF0\x80\x80\x8A|\xE0\x90\x90"), "?|?|?|?");
}

}  // namespace
}  // namespace zalvo::text
