// A simulated Windows station rooted at a folder:
//
//   windows/            the Windows directory (krvini.ini, krv.krv)
//   registry/           the hives as REGEDIT4 files, and deny.txt
//   windows.txt         the top-level windows
//   privileges.txt      the privileges the account holds (optional)
//   mixer.txt           the speakers' volume and mute (no file: no mixer)
//   console.txt         who is logged on at the console, and the lock screens
//                       running there (no file: nobody)
//   journal.log         every action the station carried out
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/log_sink.h"
#include "platform/sim/journal.h"
#include "platform/sim/sim_console.h"
#include "platform/sim/sim_desktop.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_mixer.h"
#include "platform/sim/sim_registry.h"

namespace zalvo::sim {

class Station {
 public:
  // The folder must exist. Journal lines also go to the echo when given.
  explicit Station(const std::filesystem::path& root, platform::LogSink echo = {});

  const std::filesystem::path& root() const { return root_; }
  SimRegistry& registry() { return registry_; }
  SimFiles& files() { return files_; }
  SimDesktop& desktop() { return desktop_; }
  SimMixer& mixer() { return mixer_; }
  SimConsole& console() { return console_; }
  Journal& journal() { return journal_; }

  // Fills a new station folder with a sample station: a settings file whose
  // ServerIP is the given address, the Windows log-on key, the policy keys
  // of the current user, two windows, the three privileges the agent asks
  // for and speakers at full volume. Existing files are kept.
  static void CreateSample(const std::filesystem::path& root, std::string_view server_ip);

 private:
  std::filesystem::path root_;
  Journal journal_;
  SimRegistry registry_;
  SimFiles files_;
  SimDesktop desktop_;
  SimMixer mixer_;
  SimConsole console_;
};

}  // namespace zalvo::sim
