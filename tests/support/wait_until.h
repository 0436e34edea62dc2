// Waits for something a test caused but cannot be told of: a line another
// thread writes, a record another process makes. Ends as soon as it holds,
// so a generous limit costs a passing test nothing.
#pragma once

#include <chrono>
#include <thread>

namespace zalvo::testing {

// Whether `done()` held within `limit` (checked every 20 ms, and once more
// at the end).
template <typename Predicate>
bool WaitUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace zalvo::testing
