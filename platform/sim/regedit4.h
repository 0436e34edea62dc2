// The REGEDIT4 text form of the simulated station's registry hives.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon]
//   "AutoAdminLogon"="1"
//   "LocalTimer"=dword:00000708
//   "Data"=hex:01,02,03
//   "Other"=hex(7):41,00,00,00
//
// Key paths and value names compare without regard to the case of a to z.
// Strings escape a backslash and a double quote with a backslash. Lines that
// start with ";" are comments. The text is UTF-8 in the file and
// Windows-1251 in the model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zalvo::sim {

inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

struct RegValue {
  std::string name;  // empty for the key's default value ("@")
  uint32_t type = kRegSz;
  // The text for REG_SZ, four little-endian bytes for REG_DWORD, raw bytes
  // otherwise.
  std::string data;
};

struct RegKey {
  std::string path;  // from the hive root, e.g. "SOFTWARE\Microsoft"
  std::vector<RegValue> values;
};

struct RegHive {
  std::string root;  // "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER"
  std::vector<RegKey> keys;

  // The key itself, or nullptr. A key also exists when only keys below it are
  // written in the file.
  RegKey* Find(std::string_view path);
  bool Exists(std::string_view path) const;
  RegKey& FindOrAdd(std::string_view path);
};

// Parses the text of a hive file; throws std::runtime_error with the line
// number on a line it can't read.
RegHive ParseRegedit4(std::string_view root, std::string_view utf8);
std::string FormatRegedit4(const RegHive& hive);

RegValue* FindValue(RegKey& key, std::string_view name);

}  // namespace zalvo::sim
