// A system-call table swapped for one test: the calls are changed through
// the override and the table is back as it was when the override ends,
// however the test ends.
#pragma once

namespace zalvo::testing {

template <typename Table>
class ScopedCalls {
 public:
  explicit ScopedCalls(Table& table) : table_(table), real_(table) {}
  ~ScopedCalls() { table_ = real_; }
  ScopedCalls(const ScopedCalls&) = delete;
  ScopedCalls& operator=(const ScopedCalls&) = delete;

  Table& operator*() { return table_; }
  Table* operator->() { return &table_; }
  // The table as it was: the real calls.
  const Table& real() const { return real_; }

 private:
  Table& table_;
  const Table real_;
};

}  // namespace zalvo::testing
