#include "platform/sim/regedit4.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "text/cp1251.h"
#include "text/text.h"

namespace zalvo::sim {
namespace {

std::string_view TrimEnd(std::string_view s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

std::string NormalisePath(std::string_view path) {
  while (!path.empty() && path.front() == '\\') {
    path.remove_prefix(1);
  }
  while (!path.empty() && path.back() == '\\') {
    path.remove_suffix(1);
  }
  return std::string(path);
}

// One to eight hexadecimal digits.
std::optional<uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) {
    return std::nullopt;
  }
  uint32_t v = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9'   ? c - '0'
            : c >= 'a' && c <= 'f' ? c - 'a' + 10
            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                   : -1;
    if (d < 0) {
      return std::nullopt;
    }
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  return v;
}

[[noreturn]] void Fail(size_t line, const std::string& what) {
  throw std::runtime_error("line " + std::to_string(line) + ": " + what);
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing
// quote.
std::string ReadQuoted(std::string_view s, size_t& i, size_t line) {
  std::string out;
  ++i;
  while (i < s.size() && s[i] != '"') {
    if (s[i] == '\\' && i + 1 < s.size()) {
      ++i;
    }
    out.push_back(s[i]);
    ++i;
  }
  if (i >= s.size()) {
    Fail(line, "unterminated string");
  }
  ++i;
  return out;
}

std::string ReadHexBytes(std::string_view s, size_t line) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ',' || s[i] == ' ')) {
      ++i;
    }
    if (i >= s.size()) {
      break;
    }
    if (i + 2 > s.size()) {
      Fail(line, "bad hex byte");
    }
    auto byte = ParseHex(s.substr(i, 2));
    if (!byte) {
      Fail(line, "bad hex byte");
    }
    out.push_back(static_cast<char>(*byte));
    i += 2;
  }
  return out;
}

std::string DwordBytes(uint32_t v) {
  std::string out(4, '\0');
  for (int k = 0; k < 4; ++k) {
    out[static_cast<size_t>(k)] = static_cast<char>((v >> (8 * k)) & 0xFF);
  }
  return out;
}

uint32_t DwordOf(const std::string& data) {
  uint32_t v = 0;
  for (size_t k = 0; k < 4 && k < data.size(); ++k) {
    v |= static_cast<uint32_t>(static_cast<unsigned char>(data[k])) << (8 * k);
  }
  return v;
}

std::string Escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  return out;
}

RegValue ParseValueLine(std::string_view s, size_t line) {
  RegValue value;
  size_t i = 0;
  if (s[0] == '@') {
    i = 1;
  } else {
    value.name = ReadQuoted(s, i, line);
  }
  if (i >= s.size() || s[i] != '=') {
    Fail(line, "expected '='");
  }
  std::string_view data = s.substr(i + 1);
  if (!data.empty() && data[0] == '"') {
    size_t j = 0;
    value.type = kRegSz;
    value.data = ReadQuoted(data, j, line);
  } else if (data.substr(0, 6) == "dword:") {
    auto v = ParseHex(data.substr(6));
    if (!v) {
      Fail(line, "bad dword");
    }
    value.type = kRegDword;
    value.data = DwordBytes(*v);
  } else if (data.substr(0, 4) == "hex:") {
    value.type = kRegBinary;
    value.data = ReadHexBytes(data.substr(4), line);
  } else if (data.substr(0, 4) == "hex(") {
    size_t close = data.find("):");
    auto type =
        close == std::string_view::npos ? std::nullopt : ParseHex(data.substr(4, close - 4));
    if (!type) {
      Fail(line, "bad value type");
    }
    value.type = static_cast<uint32_t>(*type);
    value.data = ReadHexBytes(data.substr(close + 2), line);
  } else {
    Fail(line, "unknown value data");
  }
  return value;
}

}  // namespace

RegKey* RegHive::Find(std::string_view path) {
  std::string wanted = NormalisePath(path);
  for (RegKey& key : keys) {
    if (text::EqualsIgnoreCase(key.path, wanted)) {
      return &key;
    }
  }
  return nullptr;
}

bool RegHive::Exists(std::string_view path) const {
  std::string wanted = NormalisePath(path);
  if (wanted.empty()) {
    return true;
  }
  for (const RegKey& key : keys) {
    if (text::EqualsIgnoreCase(key.path, wanted)) {
      return true;
    }
    if (key.path.size() > wanted.size() && key.path[wanted.size()] == '\\' &&
        text::EqualsIgnoreCase(std::string_view(key.path).substr(0, wanted.size()), wanted)) {
      return true;
    }
  }
  return false;
}

RegKey& RegHive::FindOrAdd(std::string_view path) {
  if (RegKey* key = Find(path)) {
    return *key;
  }
  keys.push_back(RegKey{NormalisePath(path), {}});
  return keys.back();
}

RegValue* FindValue(RegKey& key, std::string_view name) {
  for (RegValue& value : key.values) {
    if (text::EqualsIgnoreCase(value.name, name)) {
      return &value;
    }
  }
  return nullptr;
}

RegHive ParseRegedit4(std::string_view root, std::string_view utf8) {
  RegHive hive;
  hive.root = std::string(root);
  RegKey* current = nullptr;
  std::string pending;  // a value line continued with a trailing backslash
  size_t number = 0;
  size_t start = 0;
  while (start <= utf8.size()) {
    size_t end = utf8.find('\n', start);
    if (end == std::string_view::npos) {
      end = utf8.size();
    }
    ++number;
    std::string raw = text::Utf8ToCp1251(TrimEnd(utf8.substr(start, end - start)));
    start = end + 1;
    if (!pending.empty()) {
      size_t first = raw.find_first_not_of(" \t");
      raw = pending + (first == std::string::npos ? "" : raw.substr(first));
      pending.clear();
    }
    if (!raw.empty() && raw.back() == '\\' && raw.find("=hex") != std::string::npos) {
      raw.pop_back();
      pending = raw;
      continue;
    }
    if (raw.empty() || raw[0] == ';' || (number == 1 && raw == "REGEDIT4")) {
      continue;
    }
    if (raw[0] == '[') {
      if (raw.back() != ']') {
        Fail(number, "bad key line");
      }
      std::string full = raw.substr(1, raw.size() - 2);
      std::string prefix = hive.root;
      if (!text::EqualsIgnoreCase(std::string_view(full).substr(0, prefix.size()), prefix) ||
          (full.size() > prefix.size() && full[prefix.size()] != '\\')) {
        Fail(number, "key outside " + hive.root);
      }
      current = &hive.FindOrAdd(std::string_view(full).substr(prefix.size()));
      continue;
    }
    if (raw[0] != '"' && raw[0] != '@') {
      Fail(number, "unexpected text");
    }
    if (current == nullptr) {
      Fail(number, "value before any key");
    }
    RegValue value = ParseValueLine(raw, number);
    if (RegValue* old = FindValue(*current, value.name)) {
      *old = value;
    } else {
      current->values.push_back(value);
    }
  }
  return hive;
}

std::string FormatRegedit4(const RegHive& hive) {
  std::string out = "REGEDIT4\n";
  for (const RegKey& key : hive.keys) {
    out += "\n[" + hive.root + (key.path.empty() ? "" : "\\" + key.path) + "]\n";
    for (const RegValue& value : key.values) {
      out += value.name.empty() ? "@" : "\"" + Escape(value.name) + "\"";
      out += "=";
      // A string with a line feed can't stay on its one quoted line: it is
      // written as its bytes, hex(1), which reads back as the same string.
      if (value.type == kRegSz && value.data.find('\n') == std::string::npos) {
        out += "\"" + Escape(value.data) + "\"";
      } else if (value.type == kRegDword && value.data.size() == 4) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "dword:%08x", DwordOf(value.data));
        out += buffer;
      } else {
        char buffer[16];
        if (value.type == kRegBinary) {
          out += "hex:";
        } else {
          std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
          out += buffer;
        }
        for (size_t i = 0; i < value.data.size(); ++i) {
          std::snprintf(buffer, sizeof buffer, i == 0 ? "%02x" : ",%02x",
                        static_cast<unsigned char>(value.data[i]));
          out += buffer;
        }
      }
      out += "\n";
    }
  }
  return text::Cp1251ToUtf8(out);
}

}  // namespace zalvo::sim
