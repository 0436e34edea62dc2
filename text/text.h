// Small text rules shared by both programs: the integer parse, the Latin-only
// upper-casing of window captions, key comparison and the comma text of lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::text {

// The integer parse of settings values and command fields: optional leading
// blanks, an optional sign, then decimal digits, or hexadecimal digits after
// "$" or "0x". The value must fit a signed 32-bit integer. Empty text, trailing
// blanks or any other character make the parse fail.
[[nodiscard]] std::optional<int32_t> ParseInt32(std::string_view text);

// The value of a hexadecimal digit (either case); -1 for any other character.
int HexDigit(char c);

// Turns only the letters a to z into A to Z; every other byte, Cyrillic
// included, stays as it is.
std::string UpperLatin(std::string_view text);

// Equality of two texts without regard to the case of the letters a to z.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Ordering of two texts without regard to the case of a to z, byte by byte
// otherwise (so "10" sorts before "2").
bool LessIgnoreCase(std::string_view a, std::string_view b);

// The lines of a text: a line ends at CR LF, a lone CR or a lone LF, and
// reading stops at the first zero byte.
std::vector<std::string> SplitLines(std::string_view bytes);

// The comma text of a list: entries joined by ",", an entry that holds a
// blank, a character below 33, a double quote or a comma is enclosed in double
// quotes with its inner quotes doubled.
std::string QuoteCommaEntry(std::string_view entry);
std::string CommaText(const std::vector<std::string>& entries);
// The entries of a comma text ("A,\"B C\",\"SAY \"\"HI\"\"\""); nullopt when a
// quoted entry is not closed. Reads back what CommaText writes.
[[nodiscard]] std::optional<std::vector<std::string>> ParseCommaText(std::string_view text);

// The text for a log line or a terminal: every C0 control character
// (0x00-0x1F) and DEL written as \xNN, so that what a station or a window
// caption sends can neither start a line of its own nor drive the terminal.
// Every other byte stays as it is, the Windows-1251 letters 0x80-0xFF (and
// UTF-8) included.
std::string EscapeControls(std::string_view bytes);

}  // namespace zalvo::text
