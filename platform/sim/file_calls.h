// The system calls through which the simulated station writes a file, in one
// table that tests can swap to make one step fail (tests/support/scoped_calls.h
// puts it back). Defined in sim_files.cpp, which calls through it.
#pragma once

#include <unistd.h>

#include <cstdio>

namespace zalvo::sim {

struct FileCalls {
  decltype(&::write) write = &::write;
  decltype(&::fsync) fsync = &::fsync;
  decltype(&::rename) rename = &::rename;
};

// The table WriteFileAtomically calls through.
FileCalls& ReplaceFileCalls();

}  // namespace zalvo::sim
