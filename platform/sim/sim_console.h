// The simulated station's console session, in console.txt of the station:
//
//   customer <account> [<log-on time, seconds since 1970>]
//       the customer account is logged on at the console (its shell is the
//       lock screen); "user <account>" is another account; without either
//       line nobody is logged on
//   lockscreen <process id> locked|unlocked [<mark>] <program file>
//       a lock screen process in that session, showing its lock or not;
//       the mark says what the customer did to it: "hidden" (its cover
//       hidden), "covered" (another window over it), "frozen" (it does not
//       answer), "dialog" (its settings dialog is open)
//
// The installed lock screen is kInstalledLockScreen; a process of another
// file (a copy elsewhere) is not it. Starting the lock screen adds an
// unlocked one, as Windows starts it; the lock order locks the installed
// ones (and shows a hidden cover again), except one that is frozen or
// whose settings dialog is open; both go to the journal. The customer's
// hive is the station's current-user hive. A test (or a person) plays the
// customer by editing the file: a line removed is a lock screen ended,
// "unlocked" one unlocked, a mark added what the customer did.
//
// It is also the service's look at the cover (platform::LockCover): the
// cover is confirmed while an installed lock screen is locked and has no
// mark. Ending the lock screens removes their lines; logging the customer
// off empties the session; both go to the journal.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/console_session.h"
#include "platform/lock_cover.h"
#include "platform/sim/journal.h"
#include "platform/sim/sim_registry.h"

namespace zalvo::sim {

inline constexpr std::string_view kInstalledLockScreen = "C:\\Program Files\\Zalvo\\zalvoc.exe";

struct SimConsoleState {
  enum class User : uint8_t { kNobody, kCustomer, kOther };
  User user = User::kNobody;
  std::string account;
  std::optional<int64_t> logon_time;
  struct LockScreen {
    enum class Mark : uint8_t { kNone, kHidden, kCovered, kFrozen, kDialog };
    uint32_t process_id = 0;
    bool locked = false;
    Mark mark = Mark::kNone;
    std::string program;  // UTF-8
  };
  std::vector<LockScreen> lock_screens;
};

SimConsoleState ParseConsole(std::string_view utf8);
std::string FormatConsole(const SimConsoleState& state);

class SimConsole final : public platform::ConsoleLockScreen, public platform::LockCover {
 public:
  SimConsole(std::filesystem::path file, SimRegistry& registry, Journal& journal)
      : file_(std::move(file)), registry_(registry), journal_(journal) {}

  // ConsoleLockScreen.
  platform::ConsoleSession Look() override;
  void Start() override;
  platform::LockOrder TellToLock() override;
  platform::Registry* CustomerHive() override;

  // LockCover.
  platform::CoverLook LookAtCover() override;
  uint32_t EndLockScreens() override;
  void LogOffCustomer() override;

 private:
  SimConsoleState Load();
  void Save(const SimConsoleState& state);

  std::filesystem::path file_;
  SimRegistry& registry_;
  Journal& journal_;
  std::mutex mutex_;
  bool customer_seen_ = false;  // at the last look
};

}  // namespace zalvo::sim
