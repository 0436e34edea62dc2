// Reading a key file is kept apart from the key text's rules, so that a
// program that never reads one (the Windows agent keeps its key in the
// registry) links no file streams.
#include <fstream>
#include <sstream>

#include "protocol/key_file.h"

namespace zalvo::protocol {

KeyText ReadKeyFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw KeyFileError("cannot read the key file " + path);
  }
  std::ostringstream content;
  content << file.rdbuf();
  try {
    return ParseKeyText(content.str());
  } catch (const KeyFileError& e) {
    throw KeyFileError("the key file " + path + " can't be used: " + e.what());
  }
}

}  // namespace zalvo::protocol
