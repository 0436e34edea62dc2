// Reading a key file is kept apart from the key text's rules, so that a
// program that never reads one (the Windows agent keeps its key in the
// registry) links no file streams.
#include <fstream>
#include <sstream>

#include "platform/error.h"
#include "platform/private_files.h"
#include "protocol/key_file.h"

namespace zalvo::protocol {

KeyFileRead ReadKeyFile(const std::string& path, bool strict) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw KeyFileError("cannot read the key file " + path);
  }
  std::ostringstream content;
  content << file.rdbuf();
  KeyFileRead read;
  try {
    read.key = ParseKeyText(content.str());
  } catch (const KeyFileError& e) {
    throw KeyFileError("the key file " + path + " can't be used: " + e.what());
  }
  try {
    read.warning = platform::OthersMayRead(path);
  } catch (const platform::PlatformError& e) {
    read.warning = e.what();
  }
  if (!read.warning.empty() && strict) {
    throw KeyFileError("the key file is refused: " + read.warning);
  }
  return read;
}

}  // namespace zalvo::protocol
