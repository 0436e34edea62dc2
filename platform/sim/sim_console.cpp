#include "platform/sim/sim_console.h"

#include <chrono>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/sim/sim_files.h"
#include "text/text.h"

namespace zalvo::sim {
namespace {

constexpr uint32_t kFirstProcessId = 3000;

bool Installed(std::string_view program) {
  return text::EqualsIgnoreCase(program, kInstalledLockScreen);
}

using Mark = SimConsoleState::LockScreen::Mark;

constexpr std::pair<Mark, std::string_view> kMarks[] = {
    {Mark::kHidden, "hidden"},
    {Mark::kCovered, "covered"},
    {Mark::kFrozen, "frozen"},
    {Mark::kDialog, "dialog"},
};

std::optional<Mark> MarkNamed(std::string_view word) {
  for (const auto& [mark, name] : kMarks) {
    if (word == name) {
      return mark;
    }
  }
  return std::nullopt;
}

std::string_view MarkName(Mark mark) {
  for (const auto& [each, name] : kMarks) {
    if (each == mark) {
      return name;
    }
  }
  return {};
}

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SimConsoleState ParseConsole(std::string_view utf8) {
  SimConsoleState state;
  for (const std::string& line : text::SplitLines(utf8)) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "customer" || word == "user") {
      state.user =
          word == "customer" ? SimConsoleState::User::kCustomer : SimConsoleState::User::kOther;
      in >> state.account;
      int64_t time = 0;
      if (in >> time) {
        state.logon_time = time;
      }
    } else if (word == "lockscreen") {
      SimConsoleState::LockScreen lock_screen;
      std::string shown;
      if (!(in >> lock_screen.process_id >> shown)) {
        continue;
      }
      lock_screen.locked = shown == "locked";
      std::getline(in >> std::ws, lock_screen.program);
      // A mark, when there is one, comes before the program's file.
      const size_t blank = lock_screen.program.find(' ');
      if (blank != std::string::npos) {
        if (auto mark = MarkNamed(std::string_view(lock_screen.program).substr(0, blank))) {
          lock_screen.mark = *mark;
          lock_screen.program.erase(0, lock_screen.program.find_first_not_of(' ', blank));
        }
      }
      state.lock_screens.push_back(std::move(lock_screen));
    }
  }
  return state;
}

std::string FormatConsole(const SimConsoleState& state) {
  std::string out =
      "# customer|user <account> [<log-on time>]; lockscreen <pid> locked|unlocked "
      "[hidden|covered|frozen|dialog] <program>\n";
  if (state.user != SimConsoleState::User::kNobody) {
    out += (state.user == SimConsoleState::User::kCustomer ? "customer " : "user ") + state.account;
    if (state.logon_time) {
      out += " " + std::to_string(*state.logon_time);
    }
    out += "\n";
  }
  for (const SimConsoleState::LockScreen& l : state.lock_screens) {
    out += "lockscreen " + std::to_string(l.process_id) + (l.locked ? " locked " : " unlocked ");
    if (l.mark != Mark::kNone) {
      out += std::string(MarkName(l.mark)) + " ";
    }
    out += l.program + "\n";
  }
  return out;
}

SimConsoleState SimConsole::Load() {
  std::error_code ec;
  if (!std::filesystem::exists(file_, ec)) {
    return {};
  }
  return ParseConsole(ReadWholeFile(file_));
}

void SimConsole::Save(const SimConsoleState& state) {
  WriteFileAtomically(file_, FormatConsole(state));
}

platform::ConsoleSession SimConsole::Look() {
  std::lock_guard lock(mutex_);
  const SimConsoleState state = Load();
  platform::ConsoleSession session;
  session.customer_logged_on = state.user == SimConsoleState::User::kCustomer;
  customer_seen_ = session.customer_logged_on;
  if (!session.customer_logged_on) {
    return session;
  }
  for (const SimConsoleState::LockScreen& l : state.lock_screens) {
    session.lock_screen_running = session.lock_screen_running || Installed(l.program);
  }
  if (state.logon_time) {
    const int64_t age = UnixNow() - *state.logon_time;
    session.logon_age_ms = static_cast<uint64_t>(age < 0 ? 0 : age) * 1000;
  }
  return session;
}

void SimConsole::Start() {
  std::lock_guard lock(mutex_);
  SimConsoleState state = Load();
  if (state.user == SimConsoleState::User::kNobody) {
    throw platform::PlatformError("nobody is logged on at the console",
                                  platform::ErrorKind::kNotFound);
  }
  uint32_t process_id = kFirstProcessId;
  for (const SimConsoleState::LockScreen& l : state.lock_screens) {
    process_id = std::max(process_id, l.process_id + 1);
  }
  state.lock_screens.push_back({process_id, false, SimConsoleState::LockScreen::Mark::kNone,
                                std::string(kInstalledLockScreen)});
  Save(state);
  journal_.Write("lock screen started as " + state.account + " (process " +
                 std::to_string(process_id) + ")");
}

platform::LockOrder SimConsole::TellToLock() {
  std::lock_guard lock(mutex_);
  SimConsoleState state = Load();
  platform::LockOrder order;
  bool changed = false;
  std::vector<uint32_t> locked;
  for (SimConsoleState::LockScreen& l : state.lock_screens) {
    // A frozen one takes no message; an open settings dialog holds the
    // lock off.
    if (!Installed(l.program) || l.mark == Mark::kFrozen) {
      continue;
    }
    ++order.told;
    if (l.locked && l.mark != Mark::kHidden) {
      ++order.already_locked;
      continue;
    }
    if (l.mark == Mark::kDialog) {
      continue;
    }
    if (l.mark == Mark::kHidden) {
      l.mark = Mark::kNone;  // it shows its cover again
    }
    l.locked = changed = true;
    locked.push_back(l.process_id);
  }
  // The file first, then the journal: whoever reads the journal line finds
  // the lock in the file and may change it from there.
  if (changed) {
    Save(state);
  }
  for (const uint32_t process_id : locked) {
    journal_.Write("lock screen locked at the service's word (process " +
                   std::to_string(process_id) + ")");
  }
  return order;
}

platform::CoverLook SimConsole::LookAtCover() {
  std::lock_guard lock(mutex_);
  const SimConsoleState state = Load();
  platform::CoverLook look;
  if (state.user != SimConsoleState::User::kCustomer) {
    look.seen = "the customer is not logged on at the console";
    return look;
  }
  for (const SimConsoleState::LockScreen& l : state.lock_screens) {
    if (!Installed(l.program)) {
      continue;
    }
    look.lock_screen_window = true;
    look.settings_dialog = look.settings_dialog || l.mark == Mark::kDialog;
    if (l.locked && l.mark == Mark::kNone) {
      look.covered = true;
      look.seen.clear();
    } else if (!look.covered && look.seen.empty()) {
      const std::string process = "the lock screen (process " + std::to_string(l.process_id) + ")";
      switch (l.mark) {
        case Mark::kNone:
        case Mark::kDialog:
          look.seen = process + " shows no lock";
          break;
        case Mark::kHidden:
          look.seen = process + " has its cover hidden";
          break;
        case Mark::kCovered:
          look.seen = "another window is over " + process;
          break;
        case Mark::kFrozen:
          look.seen = process + " does not answer";
          break;
      }
    }
  }
  if (!look.lock_screen_window) {
    look.seen = "no lock screen window";
  }
  return look;
}

uint32_t SimConsole::EndLockScreens() {
  std::lock_guard lock(mutex_);
  SimConsoleState state = Load();
  if (state.user != SimConsoleState::User::kCustomer) {
    throw platform::PlatformError("the customer is not logged on at the console",
                                  platform::ErrorKind::kNotFound);
  }
  std::vector<uint32_t> ended;
  std::erase_if(state.lock_screens, [&](const SimConsoleState::LockScreen& l) {
    if (!Installed(l.program)) {
      return false;
    }
    ended.push_back(l.process_id);
    return true;
  });
  Save(state);
  for (const uint32_t process_id : ended) {
    journal_.Write("lock screen ended by the service (process " + std::to_string(process_id) + ")");
  }
  return static_cast<uint32_t>(ended.size());
}

void SimConsole::LogOffCustomer() {
  std::lock_guard lock(mutex_);
  SimConsoleState state = Load();
  if (state.user != SimConsoleState::User::kCustomer) {
    throw platform::PlatformError("the customer is not logged on at the console",
                                  platform::ErrorKind::kNotFound);
  }
  const std::string account = state.account;
  Save({});
  journal_.Write("the customer " + account + " logged off by the service");
}

platform::Registry* SimConsole::CustomerHive() {
  std::lock_guard lock(mutex_);
  return customer_seen_ ? &registry_ : nullptr;
}

}  // namespace zalvo::sim
