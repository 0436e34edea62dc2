#include "text/text.h"

#include <limits>

namespace zalvo::text {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

namespace {

char LowerLatin(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<int32_t> ParseInt32(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (text.substr(i, 2) == "0x") {
    base = 16;
    i += 2;
  }
  if (i == text.size()) {
    return std::nullopt;
  }
  // Magnitude limit: 2^31 for a negative value, 2^31 - 1 otherwise.
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    int digit = HexDigit(text[i]);
    if (digit < 0 || digit >= base) {
      return std::nullopt;
    }
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (magnitude > limit) {
      return std::nullopt;
    }
  }
  int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return static_cast<int32_t>(value);
}

std::string UpperLatin(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerLatin(a[i]) != LowerLatin(b[i])) {
      return false;
    }
  }
  return true;
}

bool LessIgnoreCase(std::string_view a, std::string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(LowerLatin(a[i]));
    auto y = static_cast<unsigned char>(LowerLatin(b[i]));
    if (x != y) {
      return x < y;
    }
  }
  return a.size() < b.size();
}

std::string QuoteCommaEntry(std::string_view entry) {
  bool quote = false;
  for (char c : entry) {
    if (static_cast<unsigned char>(c) < 33 || c == '"' || c == ',') {
      quote = true;
      break;
    }
  }
  if (!quote) {
    return std::string(entry);
  }
  std::string out = "\"";
  for (char c : entry) {
    out.push_back(c);
    if (c == '"') {
      out.push_back('"');
    }
  }
  out.push_back('"');
  return out;
}

std::string CommaText(const std::vector<std::string>& entries) {
  std::string out;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) {
      out.push_back(',');
    }
    out += QuoteCommaEntry(entries[i]);
  }
  return out;
}

std::vector<std::string> SplitLines(std::string_view bytes) {
  if (auto zero = bytes.find('\0'); zero != std::string_view::npos) {
    bytes = bytes.substr(0, zero);
  }
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < bytes.size()) {
    char c = bytes[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(bytes.substr(start, i - start));
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
        ++i;
      }
      start = i + 1;
    }
    ++i;
  }
  if (start < bytes.size()) {
    lines.emplace_back(bytes.substr(start));
  }
  return lines;
}

std::optional<std::vector<std::string>> ParseCommaText(std::string_view text) {
  std::vector<std::string> entries;
  if (text.empty()) {
    return entries;
  }
  size_t i = 0;
  while (true) {
    std::string entry;
    if (i < text.size() && text[i] == '"') {
      ++i;
      while (true) {
        if (i >= text.size()) {
          return std::nullopt;
        }
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            entry += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        entry += text[i++];
      }
      // Anything up to the next comma belongs to the entry as written.
      while (i < text.size() && text[i] != ',') {
        entry += text[i++];
      }
    } else {
      while (i < text.size() && text[i] != ',') {
        entry += text[i++];
      }
    }
    entries.push_back(std::move(entry));
    if (i >= text.size()) {
      return entries;
    }
    ++i;  // the comma
  }
}

std::string EscapeControls(std::string_view bytes) {
  std::string shown;
  shown.reserve(bytes.size());
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      constexpr char kDigits[] = "0123456789abcdef";
      shown += "\\x";
      shown += kDigits[b >> 4];
      shown += kDigits[b & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace zalvo::text
