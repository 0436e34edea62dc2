// Saves a settings file over and over exactly as the lock screen's save
// writes it (the 42 lines, replaced in one step through the station's file
// layer), alternating two sets of values, until it is ended from outside.
// The kill tests end it in the middle of a save.
//
//   zalvo_save_loop PATH
#include <cstdio>
#include <string>

#include "lockscreen/settings_io.h"
#include "platform/error.h"
#include "tests/e2e/save_loop_values.h"
#ifdef _WIN32
#include "platform/win32/files.h"
#else
#include "platform/sim/sim_files.h"
#endif

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zalvo_save_loop PATH\n");
    return 2;
  }
  const std::string texts[] = {
      zalvo::lockscreen::FormatLockScreenSettings(zalvo::testing::SaveLoopValues(true)),
      zalvo::lockscreen::FormatLockScreenSettings(zalvo::testing::SaveLoopValues(false))};
#ifdef _WIN32
  zalvo::win32::Win32Files files;
#else
  zalvo::sim::SimFiles files(".");
#endif
  try {
    for (unsigned i = 0;; ++i) {
      files.Replace(argv[1], texts[i % 2]);
      if (i == 0) {
        std::printf("saving\n");
        std::fflush(stdout);
      }
    }
  } catch (const zalvo::platform::PlatformError& e) {
    std::fprintf(stderr, "zalvo_save_loop: %s\n", e.what());
    return 1;
  }
}
