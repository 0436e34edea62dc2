#include "tests/support/recording_actions.h"

#include <stdexcept>

namespace zalvo::testing {

void RecordingActions::Call(const std::string& name, const std::string& argument,
                            bool with_argument) {
  calls.push_back(with_argument || !argument.empty() ? name + " " + argument : name);
  if (failing.count(name) > 0) {
    throw std::runtime_error(name + " failed");
  }
}

void RecordingActions::LoadSettings() {
  Call("LoadSettings");
  if (load_replaces) {
    state_.settings = loaded;
  }
}

}  // namespace zalvo::testing
