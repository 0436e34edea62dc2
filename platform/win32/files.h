// The Windows directory and its files through kernel32's wide functions.
#pragma once

#include "platform/files.h"

namespace zalvo::win32 {

class Win32Files final : public platform::StationFiles {
 public:
  std::string WindowsDirectory() override;
  std::string Read(std::string_view path) override;
  void Replace(std::string_view path, std::string_view bytes) override;
  bool Remove(std::string_view path) override;
};

}  // namespace zalvo::win32
